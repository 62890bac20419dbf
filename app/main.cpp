// tessaport: the converter's window program.
#include <QApplication>

#include "app/main_window.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaport"));
    tp::app::MainWindow window;
    window.show();
    return QApplication::exec();
}

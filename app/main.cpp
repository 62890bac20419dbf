// tessaport: the converter's window program.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/main_window.h"
#include "tessaport/version.h"

int main(int argc, char* argv[]) {
    // Answered before any window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tessaport %s\n", TP_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaport"));
    tp::app::MainWindow window;
    window.show();
    return QApplication::exec();
}

// tessaport-finder: the string finder window on its own. Name a file, type a
// text, press "Find" and "Command4" to walk the occurrences; "Replace..." asks for
// the new text and overwrites the current occurrence in place; "Close" closes the
// file so that another can be searched.
#include <QApplication>

#include "app/finder_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tp::finder::FrmFinder window;
    window.addReplaceCommands();
    window.show();
    return QApplication::exec();
}

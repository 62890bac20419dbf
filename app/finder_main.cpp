// tessaport-finder: the string finder window on its own. Name a file, type a
// text, press "Find" and "Command4" to walk the occurrences; "Replace..." asks for
// the new text and overwrites the current occurrence in place; "Close" closes the
// file so that another can be searched.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/finder_window.h"
#include "tessaport/version.h"

int main(int argc, char** argv) {
    // Answered before any window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tessaport-finder (Tessaport) %s\n", TP_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    tp::finder::StringFinderWindow window;
    window.addReplaceCommands();
    window.show();
    return QApplication::exec();
}

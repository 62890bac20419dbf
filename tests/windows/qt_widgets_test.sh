#!/usr/bin/env bash
# Builds a small Qt Widgets program against the Windows Qt of
# scripts/windows/build-qt.sh, lays it out with scripts/windows/deploy-qt.sh as it
# would be shipped, and runs it under wine: the label must be shown and drawn
# with a Windows font, and the program must fail when the layout lacks a Qt DLL
# or the platform plugin (so a run that passes proves the layout, not a DLL that
# wine found elsewhere).
#   tests/windows/qt_widgets_test.sh SOURCE_DIR
# Skipped (exit 77) without the cross compiler, wine or a built Qt prefix; the
# Qt build is long and made by hand, so its absence is no failure even where the
# other Windows tests are required.
set -euo pipefail
src=$1
triplet=x86_64-w64-mingw32
skip() {
  echo "skip: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
command -v $triplet-g++-posix >/dev/null || skip "no mingw-w64 compiler"
[ -x /usr/lib/wine/wine64 ] || skip "no wine64"
qt=$(bash "$src/scripts/windows/build-qt.sh" --query) ||
  skip "no Windows Qt prefix (bash scripts/windows/build-qt.sh builds it, about an hour)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/probe"
cat >"$tmp/probe/main.cpp" <<'CPP'
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPluginLoader>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
// Checks the shown label once the event loop runs, and ends the program with
// the result: 0 when the label is visible and its text left ink on it.
class Probe : public QObject {
    Q_OBJECT
public:
    explicit Probe(QLabel* label) : label_(label) {}
public slots:
    void check() {
        const QImage image = label_->grab().toImage();
        int ink = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ink += image.pixel(x, y) != image.pixel(0, 0);
        // The shipped platform plugin and native style load from the layout
        // (the minimal platform used here needs neither).
        QPluginLoader windows(QApplication::applicationDirPath() + QStringLiteral("/platforms/qwindows.dll"));
        const bool windowsLoads = windows.load();
        QStyle* vista = QStyleFactory::create(QStringLiteral("windowsvista"));
        std::printf("platform=%s text=%s visible=%d ink=%d qwindows=%d vista=%s\n",
                    qPrintable(QGuiApplication::platformName()), label_->text().toUtf8().constData(),
                    int(label_->isVisible()), ink, int(windowsLoads), vista ? qPrintable(vista->name()) : "none");
        if (!windowsLoads) std::printf("%s\n", qPrintable(windows.errorString()));
        delete vista;
        std::fflush(stdout);
        QApplication::exit(label_->isVisible() && ink > 0 ? 0 : 3);
    }
private:
    QLabel* label_;
};
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Tessaport K\u00f6ln"));
    label.setMargin(8);
    label.show();
    Probe probe(&label);
    QTimer::singleShot(0, &probe, &Probe::check);
    return app.exec();
}
#include "main.moc"
CPP
cat >"$tmp/probe/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(probe CXX)
set(CMAKE_AUTOMOC ON)
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(probe main.cpp)
target_link_libraries(probe PRIVATE Qt6::Widgets)
CMAKE
# With the project's warnings as errors: Qt's headers must not warn in our code.
cmake -S "$tmp/probe" -B "$tmp/probe/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
  -DCMAKE_C_COMPILER=$triplet-gcc-posix -DCMAKE_CXX_COMPILER=$triplet-g++-posix \
  -DCMAKE_FIND_ROOT_PATH="$qt;/usr/$triplet" -DCMAKE_PREFIX_PATH="$qt" \
  -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  >"$tmp/configure.log" 2>&1 || {
  cat "$tmp/configure.log"
  fail "the program did not configure against $qt"
}
cmake --build "$tmp/probe/build" >"$tmp/build.log" 2>&1 || {
  cat "$tmp/build.log"
  fail "the program did not build against $qt"
}

app=$tmp/app
bash "$src/scripts/windows/deploy-qt.sh" "$qt" "$app" "$tmp/probe/build/probe.exe" --plugin platforms/qminimal ||
  fail "deploy-qt.sh could not lay out the program"
for need in probe.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll platforms/qwindows.dll \
  styles/qwindowsvistastyle.dll; do
  [ -f "$app/$need" ] || fail "the layout lacks $need"
done

# Runs the laid-out program under wine with no Qt settings from outside: the DLLs
# and plugins must come from beside the program.
run() {
  env -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM_PLUGIN_PATH -u WINEPATH \
    "$src/scripts/wine.sh" "$@" 2>"$tmp/run.err" | tr -d '\r'
}

# 1. The program shows its label and draws the text with a Windows font (the
#    minimal platform needs no display; enable_fonts gives it Windows' fonts),
#    and the platform plugin and style that a user's Windows loads are loadable.
status=0
out=$(run "$app/probe.exe" -platform minimal:enable_fonts) || status=$?
echo "$out"
[ "$status" = 0 ] || fail "the program exited with $status: $out $(cat "$tmp/run.err")"
case $out in
  "platform=minimal text=Tessaport Köln visible=1 ink="[1-9]*" qwindows=1 vista=windowsvista") ;;
  *) fail "unexpected output: $out" ;;
esac

# 2. A layout without a Qt DLL, or without the platform plugins, must not start.
cp -r "$app" "$tmp/no-widgets"
rm "$tmp/no-widgets/Qt6Widgets.dll"
status=0
run "$tmp/no-widgets/probe.exe" -platform minimal:enable_fonts >/dev/null || status=$?
[ "$status" != 0 ] || fail "the program ran without Qt6Widgets.dll: wine found it elsewhere"
cp -r "$app" "$tmp/no-platforms"
rm -r "$tmp/no-platforms/platforms"
status=0
run "$tmp/no-platforms/probe.exe" -platform minimal:enable_fonts >/dev/null || status=$?
[ "$status" != 0 ] || fail "the program ran without its platforms folder"
echo "ok: the Qt Widgets program runs from its laid-out folder under wine ($qt)"

// The run's thread and the window's: a run that is stopped ends there, and what it
// left queued for the window does not reach it afterwards.
#include <QCoreApplication>
#include <map>

#include "app/run_controller.h"
#include "fake_dialogs.h"

namespace tp::app::test {
namespace {

namespace fs = std::filesystem;
using tp::test::waitUntil;

TEST(RunController, AStoppedRunLeavesNothingForTheNextOne) {
    ensureApp();
    TempDir tmp;
    const auto options = [&](const std::string& name) {
        writeBytes(tmp.path() / (name + ".imm"), mailbox(4000));
        convert::RunOptions o;
        o.mailboxes = {(tmp.path() / (name + ".imm")).string()};
        o.outputFolder = tmp.path() / name;
        return o;
    };

    RunController runs;
    std::map<std::string, int> progressed;  // steps shown, by mailbox
    std::vector<int> exported;
    QObject::connect(&runs, &RunController::progressed,
                     [&](const convert::RunProgress& p) { ++progressed[p.name]; });
    QObject::connect(&runs, &RunController::finished,
                     [&](const convert::RunSummary& s, const QString&) {
                         exported.push_back(s.exportedMessages);
                     });

    // The first run's steps are still queued when it is stopped; they belong to a
    // run that has ended.
    runs.start(options("first"));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(tmp.path() / "first"); }));
    runs.stop();
    ASSERT_EQ(exported.size(), 1u);
    ASSERT_LT(exported[0], 4000);

    // The second run starts before the window has looked at its queue: the first
    // run's end, queued by its thread, must not be taken for the second's.
    runs.start(options("second"));
    QCoreApplication::processEvents();
    EXPECT_EQ(progressed["first.imm"], 0) << "steps of the stopped run reached the window";
    EXPECT_TRUE(runs.running()) << "the second run was waited for as if it had ended";
    EXPECT_EQ(exported.size(), 1u);

    ASSERT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents();
        return !runs.running();
    }));
    EXPECT_GT(progressed["second.imm"], 0);
    EXPECT_EQ(exported, (std::vector<int>{exported[0], 4000}));
}

}  // namespace
}  // namespace tp::app::test

#pragma once
// Whole PST runs for the import tests, and the messages of the store as libpff
// reads them (tests/mapi/pst_items.py).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "run/conversion_run.h"
#include "run/run_types.h"
#include "support/support.h"

// After GMime's headers: Qt's "signals" would otherwise clash with glib's.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tp::test {

struct NullObserver : convert::RunObserver {};

// A PST run over `mailboxes` into `output` (made when missing).
inline convert::RunSummary runPst(const std::vector<std::string>& mailboxes,
                                  const std::filesystem::path& output, bool cancelled = false,
                                  const std::filesystem::path& attachments = {}) {
    convert::RunOptions options;
    options.attachments = !attachments.empty();
    options.attachmentFolder = attachments.string();
    options.mailboxes = mailboxes;
    options.format = convert::Format::Pst;
    options.outputFolder = output;
    std::error_code ignored;
    std::filesystem::create_directories(output, ignored);
    NullObserver observer;
    std::atomic<bool> cancel{cancelled};
    return convert::ConversionRun(options, observer).run(cancel);
}

// The messages of a store, in order.
inline std::vector<QJsonObject> storedItems(const std::filesystem::path& pst) {
    int rc = -1;
    const std::string out = output(
        "/usr/bin/python3 '" TP_SOURCE_DIR "/tests/mapi/pst_items.py' " + quote(pst.string()), &rc);
    EXPECT_EQ(rc, 0) << out;
    std::vector<QJsonObject> items;
    for (const QByteArray& line : QByteArray::fromStdString(out).split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject()) items.push_back(doc.object());
    }
    return items;
}

// A property of an item (or attachment) as text; a binary as "binary <hex>".
inline std::string prop(const QJsonObject& item, const char* id) {
    const QJsonValue v = item["props"].toObject()[id];
    if (v.isString()) return v.toString().toStdString();
    if (v.isBool()) return v.toBool() ? "true" : "false";
    if (v.isDouble()) return std::to_string(v.toInt());
    if (v.isObject()) return "binary " + v.toObject()["hex"].toString().toStdString();
    return "<missing>";
}
inline std::string str(const QJsonValue& v) {
    return v.toString().toStdString();
}
inline QJsonObject attachment(const QJsonObject& item, int k) {
    return item["attachments"].toArray()[k].toObject();
}

}  // namespace tp::test

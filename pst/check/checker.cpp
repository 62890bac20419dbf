// The checks, in the order they run:
//  1. header: signature, version, both CRCs, fixed fields, ibFileEof;
//  2. NBT and BBT: page trailers, signatures, CRCs, levels, key order;
//  3. every block: trailer, signature, CRC, internal block shape;
//  4. references: every BID named resolves, cRef = references + 1;
//  5. allocation: map pages at their places, no overlaps, AMap bits equal to
//     what is allocated, DList and cbAMapFree equal to the AMaps;
//  6. nodes: data and subnode trees resolve; PCs and TCs parse;
//  7. messaging: the minimum store of [MS-PST] 2.7, folder tables against the
//     folders' children and counts, contents rows against messages, message
//     and attachment objects, parent links.
// With shape findings asked for, also where the store differs from the shape a
// current Outlook gives its stores: heaps in Outlook's order, no present value
// or cell referring to HID 0 beyond Outlook's own empty values, Outlook's
// internal nodes and no others, each table's columns as Outlook's template for
// its kind, conversation indexes and message sizes as Outlook computes them.
// Where each lives: the header and the B-trees are read and checked by the
// node-database reader (pst/ndb/reader.h), heaps and tables by the LTP reader
// (pst/ltp/reader.h); the checker's own checks are allocation.cpp, nodes.cpp,
// store_objects.cpp, folders.cpp and messages.cpp, with the shape comparisons
// in shape.cpp.
#include "pst/check/checker.h"

#include "pst/check/checker_parts.h"

namespace tp::pst::check {

namespace detail {

void Checker::run() {
    std::string fatal;
    if (!ndb_.readHeader(fatal)) {
        report_.fatal = fatal;
        return;
    }
    if (file_.size() < fmt::kFirstAMapOffset + fmt::kPageSize) {
        report_.fatal = "file too short to hold an allocation map";
        return;
    }
    report_.readable = true;
    out_.askShape(opt_.shape);
    ndb_.readTrees();
    ndb_.verifyBlocks();
    ndb_.checkReferences();
    report_.nodes = ndb_.nodes().size();
    report_.blocks = ndb_.blocks().size();
    checkAllocation();
    checkNodes();
    checkStoreObjects();
    checkFolders();
    checkMessages();
}

}  // namespace detail

Report checkStore(const std::filesystem::path& path, const CheckOptions& options) {
    Report report;
    FileSource file;
    std::string error;
    if (!file.open(path, error)) {
        report.fatal = error;
        return report;
    }
    detail::Checker checker(file, report, options);
    checker.run();
    return report;
}

}  // namespace tp::pst::check

#pragma once
// pathLogger: walks a folder tree breadth-first and collects every folder and
// every file below it into ordered, keyed lists.
//
// Paths are native text; the folder separator ("\" on Windows, "/" elsewhere) ends
// every folder path. Symbolic links to folders are listed neither as folders nor
// as files and are never followed, so a link loop cannot make the walk endless.
// Within one folder, entries come in byte order of their names (the order is
// stable from one walk to the next).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tp::app {

// A list whose items keep their insertion order and are addressed either by a
// 1-based position or by a unique text key. Adding under a key already present
// fails and changes nothing.
template <typename T>
class KeyedList {
  public:
    // False (and nothing added) when `key` is already present.
    bool Add(T item, const std::string& key) {
        if (!index_.emplace(key, items_.size()).second) return false;
        items_.emplace_back(key, std::move(item));
        return true;
    }
    std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
    bool empty() const { return items_.empty(); }
    // 1-based position; throws std::out_of_range outside 1..Count().
    const T& Item(std::int32_t position) const {
        if (position < 1 || position > Count()) throw std::out_of_range("KeyedList position");
        return items_[static_cast<std::size_t>(position - 1)].second;
    }
    // Throws std::out_of_range for an unknown key.
    const T& Item(const std::string& key) const { return items_[index_.at(key)].second; }
    bool Contains(const std::string& key) const { return index_.count(key) != 0; }
    const std::string& KeyAt(std::int32_t position) const {
        if (position < 1 || position > Count()) throw std::out_of_range("KeyedList position");
        return items_[static_cast<std::size_t>(position - 1)].first;
    }
    // Items in insertion order, for range-for.
    std::vector<T> values() const {
        std::vector<T> out;
        out.reserve(items_.size());
        for (const auto& kv : items_) out.push_back(kv.second);
        return out;
    }

  private:
    std::vector<std::pair<std::string, T>> items_;
    std::unordered_map<std::string, std::size_t> index_;
};

using TextList = KeyedList<std::string>;
using PositionList = KeyedList<std::int32_t>;

class pathLogger {
  public:
    // Readies the walk: sets fullFileNamesOnly and releases the four lists (they
    // come back empty on next use). The counter is left as it is.
    void PathLogInit();
    // Walks the tree below `startFolder`. Does nothing when the folder does not
    // exist. Returns false when the walk ended early (a folder that could not be
    // listed, a key added twice, no PathLogInit); lastError() then says why and the
    // lists keep what was added until then.
    bool LogPath(const std::string& startFolder);
    // Files found plus 1 after a walk; 0 on a new object.
    std::int32_t Count() const { return count_; }
    // Releases the lists; the object needs PathLogInit again before the next walk.
    void Terminate();

    bool fullFileNamesOnly = false;

    // The object's own lists (created empty on first use); a caller that keeps one
    // can still read it after Terminate.
    std::shared_ptr<TextList> fileNames();
    std::shared_ptr<TextList> pathNames();
    std::shared_ptr<PositionList> pathPointers();
    std::shared_ptr<TextList> fullFileNames();

    const std::string& lastError() const { return lastError_; }

  private:
    bool ready_ = false;  // PathLogInit has run (the platform's file system object)
    std::int32_t count_ = 0;
    std::shared_ptr<TextList> fileNames_;
    std::shared_ptr<TextList> pathNames_;
    std::shared_ptr<PositionList> pathPointers_;
    std::shared_ptr<TextList> fullFileNames_;
    std::string lastError_;
};

// `path` with the native folder separator at its end (unchanged when it has one).
std::string AddBackslash(const std::string& path);

}  // namespace tp::app

#pragma once
// Imports messages into mail items on worker threads while the run goes on reading
// and cutting the next ones. Results come back in the order the messages went in,
// so the store receives its items in mailbox order whatever thread finished first.
// Only the import runs on the workers; the store itself is written by the caller.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pst/pst.h"

namespace tp::convert {

class ImportPipeline {
  public:
    struct Result {
        std::uint64_t ticket = 0;
        std::string bytes;  // the message, kept until the caller is done with it
        pst::Message item;
        bool ok = false;
        std::string error;
    };

    // `workers` threads (0: each import runs inside submit()); at most
    // `maxBytesInFlight` message bytes wait or are being imported (one message
    // always fits).
    ImportPipeline(unsigned workers, std::uint64_t maxBytesInFlight);
    ~ImportPipeline();
    ImportPipeline(const ImportPipeline&) = delete;
    ImportPipeline& operator=(const ImportPipeline&) = delete;

    // The number of workers that suits this machine: one core stays with the run.
    static unsigned defaultWorkers();

    // True when a message of `size` bytes must wait until results are taken.
    bool full(std::uint64_t size) const;
    // Queues a copy of the message.
    void submit(std::uint64_t ticket, std::string_view bytes);
    // The next result in submission order: at once if it is ready, or (wait) as
    // soon as it is, importing waiting messages on the calling thread meanwhile;
    // empty when nothing was submitted that has not been taken.
    std::optional<Result> next(bool wait);
    std::size_t pending() const;

  private:
    struct Job {
        std::uint64_t sequence;
        std::uint64_t ticket;
        std::string bytes;
    };
    void work();
    static Result runImport(std::uint64_t ticket, std::string bytes);

    const std::uint64_t maxBytes_;
    mutable std::mutex mutex_;
    std::condition_variable jobReady_, resultReady_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Result> done_;  // by sequence
    std::uint64_t nextIn_ = 0, nextOut_ = 0;
    std::uint64_t bytesInFlight_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tp::convert

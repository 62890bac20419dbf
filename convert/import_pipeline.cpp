#include "convert/import_pipeline.h"

#include <algorithm>
#include <exception>

#include "convert/pst_import.h"

namespace tp::convert {

ImportPipeline::ImportPipeline(unsigned workers, std::uint64_t maxBytesInFlight)
    : maxBytes_(maxBytesInFlight) {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
}

ImportPipeline::~ImportPipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    jobReady_.notify_all();
    for (std::thread& t : threads_) t.join();
}

unsigned ImportPipeline::defaultWorkers() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores <= 1 ? 0 : std::min(cores - 1, 8u);
}

bool ImportPipeline::full(std::uint64_t size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextIn_ != nextOut_ && bytesInFlight_ + size > maxBytes_;
}

void ImportPipeline::submit(std::uint64_t ticket, std::string_view bytes) {
    if (threads_.empty()) {
        Result r = runImport(ticket, std::string(bytes));
        std::lock_guard<std::mutex> lock(mutex_);
        bytesInFlight_ += r.bytes.size();
        done_.emplace(nextIn_++, std::move(r));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytesInFlight_ += bytes.size();
        jobs_.push_back(Job{nextIn_++, ticket, std::string(bytes)});
    }
    jobReady_.notify_one();
}

std::optional<ImportPipeline::Result> ImportPipeline::next(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (nextOut_ == nextIn_) return std::nullopt;
    while (done_.count(nextOut_) == 0) {
        if (!wait) return std::nullopt;
        if (jobs_.empty()) {
            resultReady_.wait(lock);
            continue;
        }
        // Rather than wait, the caller imports the oldest waiting message itself.
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        Result r = runImport(job.ticket, std::move(job.bytes));
        lock.lock();
        done_.emplace(job.sequence, std::move(r));
    }
    auto it = done_.find(nextOut_);
    Result r = std::move(it->second);
    done_.erase(it);
    ++nextOut_;
    bytesInFlight_ -= std::min<std::uint64_t>(bytesInFlight_, r.bytes.size());
    return r;
}

std::size_t ImportPipeline::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::size_t(nextIn_ - nextOut_);
}

void ImportPipeline::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            jobReady_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        Result r = runImport(job.ticket, std::move(job.bytes));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.emplace(job.sequence, std::move(r));
        }
        resultReady_.notify_all();
    }
}

ImportPipeline::Result ImportPipeline::runImport(std::uint64_t ticket, std::string bytes) {
    Result r;
    r.ticket = ticket;
    r.bytes = std::move(bytes);
    try {
        r.ok = importMessage(r.bytes, r.item, r.error);
    } catch (const std::exception& e) {
        r.ok = false;
        r.error = e.what();
    } catch (...) {
        r.ok = false;
        r.error = "unknown error";
    }
    if (!r.ok) r.item = pst::Message{};
    return r;
}

}  // namespace tp::convert

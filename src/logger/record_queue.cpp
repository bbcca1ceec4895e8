#include "logger/record_queue.hpp"

#include <iterator>
#include <utility>

namespace vantle::logging {

void RecordQueue::push(const std::string& logger_name, Level level, std::string_view message) noexcept {
    try {
        {
            std::lock_guard lock(mutex_);
            if (records_.size() >= capacity_) {
                ++dropped_;
                return;
            }
            records_.push_back(Record{logger_name, level, std::string(message)});
        }
        queued_.notify_one();
    } catch (...) {
        // Out of memory: the record is lost, the streaming thread goes on.
    }
}

std::vector<Record> RecordQueue::take(std::size_t& dropped) {
    std::unique_lock lock(mutex_);
    queued_.wait(lock, [&] { return !records_.empty() || dropped_ > 0; });
    std::vector<Record> batch(std::make_move_iterator(records_.begin()), std::make_move_iterator(records_.end()));
    records_.clear();
    dropped = std::exchange(dropped_, 0);
    return batch;
}

}  // namespace vantle::logging

#include "early_maps.hpp"

#include <signal.h>

#include <system_error>

namespace qelc {

void EarlyMapReader::add(const std::string& path) {
  if (startFailed_) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    pending_.push_back(path);
  }
  if (thread_.joinable()) {
    wake_.notify_one();
    return;
  }
  // Stop signals are the receive loop's to see: the reader blocks them all,
  // so that none lands on it (and none cuts its file reads short).
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    thread_ = std::thread([this] { work(); });
  } catch (const std::system_error&) {
    startFailed_ = true;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void EarlyMapReader::work() {
  ModuleReadOptions options;
  options.skip = [this](uint16_t unit, uint64_t identity) {
    return known_.count({unit, identity}) > 0;
  };
  options.stop = &abandon_;
  for (;;) {
    std::string path;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return closed_ || !pending_.empty(); });
      if (pending_.empty() || abandon_.load(std::memory_order_relaxed)) return;
      path = std::move(pending_.front());
      pending_.pop_front();
      // While the run goes on its programs use the other cores; once it
      // has ended, the owner only waits.
      options.oneThread = !closed_;
    }
    ModuleRead read;
    bool whole = false;
    // Nothing may leave this thread; a read that failed is done again at
    // the end, where its error is told.
    try {
      whole = readModuleMaps(path, options, &read);
      if (whole)
        for (const ModuleRecord& rec : read.records)
          if (rec.state == ModuleRecord::State::kParsed) known_.emplace(rec.unit, rec.identity);
    } catch (const std::exception&) {
      whole = false;
    }
    if (whole) results_.emplace(path, std::move(read));
  }
}

void EarlyMapReader::join() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void EarlyMapReader::finish() { join(); }

void EarlyMapReader::stop() {
  abandon_.store(true, std::memory_order_relaxed);
  join();
}

ModuleRead* EarlyMapReader::result(const std::string& path) {
  const auto it = results_.find(path);
  return it == results_.end() ? nullptr : &it->second;
}

bool addProgramMaps(const std::vector<std::string>& modules, EarlyMapReader* early, SourceMap* map,
                    std::ostream& err) {
  if (early) early->finish();
  for (const std::string& path : modules) {
    std::size_t added = 0;
    std::string error;
    ModuleRead* read = early ? early->result(path) : nullptr;
    // Read early, a file may not have been there yet: only now is it gone.
    const ModuleMaps outcome = read && read->outcome != ModuleMaps::kUnreadable
                                   ? applyModuleMaps(std::move(*read), map, &added, &error)
                                   : loadModuleMaps(path, map, &added, &error);
    switch (outcome) {
      case ModuleMaps::kRead:
        break;
      case ModuleMaps::kNone:
      case ModuleMaps::kUnreadable:
        err << "qelcollect: warning: " << error << "\n";
        break;
      case ModuleMaps::kInvalid:
        err << "qelcollect: " << error << "\n";
        return false;
    }
  }
  return true;
}

}  // namespace qelc

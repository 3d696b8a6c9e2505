// The pool of tables the on-disk graph's query stores borrow (DannStore's
// Reader sets, declared in disk_hnsw_internal.h).

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "vector/disk_hnsw_internal.h"

namespace pallix {

namespace dann_internal {
namespace {

// At most this many sets of query stores' tables find nodes by id (and
// remember rows), and the pool keeps up to this many others (ReaderPool).
constexpr size_t kMaxByIdReaders = 2;
constexpr size_t kMaxPooledReaders = 8;

}  // namespace

size_t DannStore::Reader::Bytes() const {
  return by_id.slots.capacity() * sizeof(Slot) + by_id.entries.capacity() * sizeof(Entry) +
         by_id.upper.capacity() * sizeof(const char*) + hashed.slots.capacity() * sizeof(Slot) +
         hashed.ids.capacity() * sizeof(uint64_t) + locations.Bytes();
}

// The query stores' tables, lent one set per store and given back after.
//
// A set whose slots are found by node id (by_id) answers a lookup in one
// load, and remembers where rows sit; but its tables are as large as the
// graph's ids (up to 8 MiB of slots and as much again of row locations),
// and a new one pays a page fault for nearly every page of them. Kept per
// thread, a pool of threads that each ran one query held them all until
// the threads ended; made afresh for each query, they would cost more than
// the search. So only a few sets ever look nodes up by id: made while
// fewer exist, kept by the pool however large, and lent first, so that
// queries one after another, or a few at once, reuse them as before. Every
// other set, for the queries beyond those running at once, hashes every
// id into a table as large as the nodes its searches meet (a few hundred
// KiB), and remembers no rows; the pool keeps a few of them too. The rest
// are freed.
//
// The mutex is held only to take or put back one set, never across a wait
// or another lock.
class DannStore::ReaderPool {
 public:
  static ReaderPool& Get() {
    // Never destroyed: a thread may still give its tables back while the
    // process exits.
    static ReaderPool* const pool = new ReaderPool;
    return *pool;
  }

  std::unique_ptr<Reader> Take() {
    bool by_id;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!free_.empty()) {
        // The last set by id given back, else the last set.
        auto it = std::find_if(free_.rbegin(), free_.rend(), [](const auto& r) { return r->by_id_lookup; });
        std::unique_ptr<Reader> reader = std::move(it != free_.rend() ? *it : free_.back());
        free_.erase(it != free_.rend() ? std::next(it).base() : free_.end() - 1);
        bytes_ -= reader->pooled_bytes;
        return reader;
      }
      by_id = by_id_readers_ < kMaxByIdReaders;
      by_id_readers_ += by_id;
      ++readers_;
    }
    auto reader = std::make_unique<Reader>();
    reader->by_id_lookup = by_id;
    return reader;
  }

  void Give(std::unique_ptr<Reader> reader) {
    reader->pooled_bytes = reader->Bytes();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (reader->by_id_lookup || free_.size() < kMaxPooledReaders) {
        bytes_ += reader->pooled_bytes;
        free_.push_back(std::move(reader));
        return;
      }
      --readers_;
    }
    reader.reset();  // freed outside the lock
  }

  void Empty() {
    std::vector<std::unique_ptr<Reader>> dropped;
    std::lock_guard<std::mutex> lock(mu_);
    readers_ -= free_.size();
    for (const auto& reader : free_) by_id_readers_ -= reader->by_id_lookup;
    bytes_ = 0;
    dropped.swap(free_);
  }

  KeptTables Kept() {
    std::lock_guard<std::mutex> lock(mu_);
    return KeptTables{readers_, free_.size(), bytes_};
  }

 private:
  std::mutex mu_;
  std::vector<std::unique_ptr<Reader>> free_;
  size_t bytes_ = 0;          // the pooled sets' room
  size_t readers_ = 0;        // sets lent or pooled
  size_t by_id_readers_ = 0;  // of those, sets by id
};

DannStore::KeptTables DannStore::Kept() { return ReaderPool::Get().Kept(); }

void DannStore::EmptyPoolForTesting() { ReaderPool::Get().Empty(); }

std::unique_ptr<DannStore::Reader> DannStore::TakeReader() { return ReaderPool::Get().Take(); }

void DannStore::GiveReader(std::unique_ptr<Reader> reader) { ReaderPool::Get().Give(std::move(reader)); }

}  // namespace dann_internal

}  // namespace pallix

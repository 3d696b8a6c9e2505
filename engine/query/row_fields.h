// The per-row work of the walks without a source that read a few fields of
// every row: the aggregates' walk and the filtered scan bounded by an
// ordered window. Each row's top-level fields that the filters or the
// caller's paths begin with are decoded into values reused from row to
// row, the rest of the row checked exactly as a full decode checks it, and
// the filters tested on those fields; no document is built. A caller's
// field that no filter reads is only located in the first pass, and decoded
// once the filters have passed, so a row they reject never builds it.
//
// So a walk fails on exactly the rows a walk of whole documents fails on,
// and every path finds what get_path finds in the whole document.
//
// Callers: the aggregates (aggregate.cc) and the ordered filtered scan
// (scan_routes.cc). Thread-safety: one object per walking thread; the
// filters are only read.

#ifndef PALLIX_QUERY_ROW_FIELDS_H_
#define PALLIX_QUERY_ROW_FIELDS_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "query/predicate.h"

namespace pallix {

class RowFields {
 public:
  // filters: tested on every row (they must outlive this object); fields:
  // the paths the caller reads after a row passes, copied.
  RowFields(const std::vector<Predicate>& filters, std::span<const std::string_view> fields);
  RowFields(const RowFields&) = delete;
  RowFields& operator=(const RowFields&) = delete;

  // Reads one row's fields and tests the filters on them: true when every
  // filter holds. Errors: Decode (the row does not decode), and then the
  // fields must not be read.
  Result<bool> Next(std::string_view bytes);

  // After Next gave true: the value at the caller's fields[i], as get_path
  // finds it in the whole document (null when missing).
  const Value* At(size_t i) const { return at_[i]; }

  // After Next gave true: a document holding the top-level fields the
  // caller's paths begin with, so that get_path of those paths finds in
  // it what it finds in the whole document.
  Value Partial() const;

 private:
  // Where a caller's path leads: the top-level name it begins with, and
  // what follows that name's '.' (below: the path has one).
  struct Path {
    size_t name = 0;
    bool below = false;
    std::string rest;
  };
  Status DecodeCallerFields();

  const std::vector<Predicate>& filters_;
  std::vector<std::string> owned_;         // the names' bytes
  std::vector<std::string_view> names_;    // the filters' names, then the caller's alone
  size_t filter_names_ = 0;
  std::vector<Value> values_;              // one per name
  std::vector<const Value*> found_;        // into values_, null when missing
  std::vector<std::string_view> raw_;      // the caller's names' bytes, filters first passed
  std::vector<Path> paths_;
  std::vector<const Value*> at_;           // per caller path, after Next
};

}  // namespace pallix

#endif  // PALLIX_QUERY_ROW_FIELDS_H_

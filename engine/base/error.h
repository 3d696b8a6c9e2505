// EngineError: the single failure value of the engine, and the helpers that
// make "failures are values" cheap to write.
//
// Every engine operation returns Result<T> (std::expected<T, EngineError>).
// The kinds have a fixed order; a kind's position plus one is the public
// error code that reaches Python. Codes are stored nowhere on disk but are
// part of the public interface: never renumber, never reorder.
//
// Nothing in the engine throws, except InvariantError (base/lock.h), which
// marks a broken internal invariant and is caught only at the binding
// boundary.
//
// Thread-safety: plain values; no shared state.

#ifndef PALLIX_BASE_ERROR_H_
#define PALLIX_BASE_ERROR_H_

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace pallix {

// Public error codes: position in this enum plus one. Frozen.
enum class ErrorKind : uint8_t {
  kDatabase = 1,
  kTransaction = 2,
  kTable = 3,
  kStorage = 4,
  kCommit = 5,
  kSetDurability = 6,
  kCompaction = 7,
  kDecode = 8,
  kCorruptIndex = 9,
  kReservedCollection = 10,
  kInvalidName = 11,
  kInvalidArgument = 12,
  kIncompatibleFormat = 13,
  kEmptyIndexTraining = 14,
  kSchemaViolation = 15,
  kInvalidDump = 16,
  kBackupTargetExists = 17,
  kIo = 18,
};

inline constexpr int kErrorKindCount = 18;

class EngineError {
 public:
  // One constructor per kind, named after the kind.
  static EngineError Database(std::string detail) { return {ErrorKind::kDatabase, std::move(detail)}; }
  static EngineError Transaction(std::string detail) { return {ErrorKind::kTransaction, std::move(detail)}; }
  static EngineError Table(std::string detail) { return {ErrorKind::kTable, std::move(detail)}; }
  static EngineError Storage(std::string detail) { return {ErrorKind::kStorage, std::move(detail)}; }
  static EngineError Commit(std::string detail) { return {ErrorKind::kCommit, std::move(detail)}; }
  static EngineError SetDurability(std::string detail) { return {ErrorKind::kSetDurability, std::move(detail)}; }
  static EngineError Compaction(std::string detail) { return {ErrorKind::kCompaction, std::move(detail)}; }
  static EngineError Decode(std::string detail) { return {ErrorKind::kDecode, std::move(detail)}; }
  static EngineError CorruptIndex(std::string context) { return {ErrorKind::kCorruptIndex, std::move(context)}; }
  static EngineError ReservedCollection(std::string name) { return {ErrorKind::kReservedCollection, std::move(name)}; }
  static EngineError InvalidName(std::string name) { return {ErrorKind::kInvalidName, std::move(name)}; }
  static EngineError InvalidArgument(std::string detail) { return {ErrorKind::kInvalidArgument, std::move(detail)}; }
  static EngineError IncompatibleFormat(uint64_t found, uint64_t expected) {
    EngineError e(ErrorKind::kIncompatibleFormat, {});
    e.found_ = found;
    e.expected_ = expected;
    return e;
  }
  static EngineError EmptyIndexTraining() { return {ErrorKind::kEmptyIndexTraining, {}}; }
  // With a detail, appended to the fixed text after a space.
  static EngineError EmptyIndexTraining(std::string detail) {
    return {ErrorKind::kEmptyIndexTraining, std::move(detail)};
  }
  static EngineError SchemaViolation(std::string detail) { return {ErrorKind::kSchemaViolation, std::move(detail)}; }
  static EngineError InvalidDump(std::string detail) { return {ErrorKind::kInvalidDump, std::move(detail)}; }
  static EngineError BackupTargetExists(std::string path) { return {ErrorKind::kBackupTargetExists, std::move(path)}; }
  static EngineError Io(std::string detail) { return {ErrorKind::kIo, std::move(detail)}; }

  ErrorKind kind() const { return kind_; }
  // The public code: 1..18.
  uint32_t code() const { return static_cast<uint32_t>(kind_); }
  // The carried text (the name, the store's detail, the decoder's message).
  const std::string& detail() const { return detail_; }
  uint64_t found() const { return found_; }
  uint64_t expected() const { return expected_; }

  // The display form, e.g. "storage: MDB_MAP_FULL: ...". This is the text
  // users see as PallixError.message.
  std::string Message() const;
  // Diagnostic form: the kind's name and its payload.
  std::string DebugString() const;

  bool operator==(const EngineError&) const = default;

 private:
  EngineError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  ErrorKind kind_;
  std::string detail_;
  uint64_t found_ = 0;
  uint64_t expected_ = 0;
};

// The kind's name as written in the error table ("Database", ...).
std::string_view ErrorKindName(ErrorKind kind);

// A value or the engine error that prevented it. [[nodiscard]]: dropping a
// Result silently drops its error, so the compiler warns (and the test build
// fails). A void-returning call whose failure truly does not matter says so
// with a cast to void and a comment.
template <typename T>
class [[nodiscard]] Result : public std::expected<T, EngineError> {
 public:
  using std::expected<T, EngineError>::expected;
  Result(const std::expected<T, EngineError>& e) : std::expected<T, EngineError>(e) {}
  Result(std::expected<T, EngineError>&& e) : std::expected<T, EngineError>(std::move(e)) {}
};
using Status = Result<void>;

inline std::unexpected<EngineError> Fail(EngineError e) { return std::unexpected<EngineError>(std::move(e)); }
inline Status Ok() { return {}; }

}  // namespace pallix

#define PALLIX_CONCAT_INNER_(a, b) a##b
#define PALLIX_CONCAT_(a, b) PALLIX_CONCAT_INNER_(a, b)

// Each expansion names its temporary with a fresh __COUNTER__ value: a
// lambda inside expr may use the macros again (even on the same line), and
// its temporary must not shadow the enclosing one.

// RETURN_IF_ERROR(expr): expr yields a Result<T>/Status; on failure, return
// its error from the enclosing function (which must return a Result).
#define RETURN_IF_ERROR(expr) RETURN_IF_ERROR_IMPL_(PALLIX_CONCAT_(pallix_status_, __COUNTER__), expr)
#define RETURN_IF_ERROR_IMPL_(tmp, expr)                 \
  do {                                                   \
    auto&& tmp = (expr);                                 \
    if (!tmp) [[unlikely]]                               \
      return ::std::unexpected(std::move(tmp).error());  \
  } while (0)

// ASSIGN_OR_RETURN(lhs, expr): lhs = *expr, or return its error.
#define ASSIGN_OR_RETURN(lhs, expr) \
  ASSIGN_OR_RETURN_IMPL_(PALLIX_CONCAT_(pallix_result_, __COUNTER__), lhs, expr)
#define ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)           \
  auto tmp = (expr);                                     \
  if (!tmp) [[unlikely]]                                 \
    return ::std::unexpected(std::move(tmp).error());    \
  lhs = std::move(*tmp)

#endif  // PALLIX_BASE_ERROR_H_

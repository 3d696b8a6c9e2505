#include "base/error.h"


namespace pallix {

std::string_view ErrorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kDatabase: return "Database";
    case ErrorKind::kTransaction: return "Transaction";
    case ErrorKind::kTable: return "Table";
    case ErrorKind::kStorage: return "Storage";
    case ErrorKind::kCommit: return "Commit";
    case ErrorKind::kSetDurability: return "SetDurability";
    case ErrorKind::kCompaction: return "Compaction";
    case ErrorKind::kDecode: return "Decode";
    case ErrorKind::kCorruptIndex: return "CorruptIndex";
    case ErrorKind::kReservedCollection: return "ReservedCollection";
    case ErrorKind::kInvalidName: return "InvalidName";
    case ErrorKind::kInvalidArgument: return "InvalidArgument";
    case ErrorKind::kIncompatibleFormat: return "IncompatibleFormat";
    case ErrorKind::kEmptyIndexTraining: return "EmptyIndexTraining";
    case ErrorKind::kSchemaViolation: return "SchemaViolation";
    case ErrorKind::kInvalidDump: return "InvalidDump";
    case ErrorKind::kBackupTargetExists: return "BackupTargetExists";
    case ErrorKind::kIo: return "Io";
  }
  return "Unknown";
}

std::string EngineError::Message() const {
  switch (kind_) {
    case ErrorKind::kDatabase: return "database: " + detail_;
    case ErrorKind::kTransaction: return "transaction: " + detail_;
    case ErrorKind::kTable: return "table: " + detail_;
    case ErrorKind::kStorage: return "storage: " + detail_;
    case ErrorKind::kCommit: return "commit: " + detail_;
    case ErrorKind::kSetDurability: return "durability: " + detail_;
    case ErrorKind::kCompaction: return "compaction: " + detail_;
    case ErrorKind::kDecode: return "decode: " + detail_;
    case ErrorKind::kCorruptIndex: return "corrupt index state: " + detail_;
    case ErrorKind::kReservedCollection: return "reserved collection name: " + detail_;
    case ErrorKind::kInvalidName: return "invalid name (NUL byte or `__` is not allowed): " + detail_;
    case ErrorKind::kInvalidArgument: return "invalid argument: " + detail_;
    case ErrorKind::kIncompatibleFormat:
      return "incompatible format: file is v" + std::to_string(found_) + ", engine expects v" +
             std::to_string(expected_);
    case ErrorKind::kEmptyIndexTraining:
      return "cannot train a PQ codebook: no usable training vectors" + (detail_.empty() ? "" : " " + detail_);
    case ErrorKind::kSchemaViolation: return "schema violation: " + detail_;
    case ErrorKind::kInvalidDump: return "invalid dump: " + detail_;
    case ErrorKind::kBackupTargetExists: return "backup target already exists: " + detail_;
    case ErrorKind::kIo: return "io: " + detail_;
  }
  return detail_;
}

std::string EngineError::DebugString() const {
  std::string name(ErrorKindName(kind_));
  switch (kind_) {
    case ErrorKind::kCorruptIndex: return name + " { context: \"" + detail_ + "\" }";
    case ErrorKind::kIncompatibleFormat:
      return name + " { found: " + std::to_string(found_) + ", expected: " + std::to_string(expected_) + " }";
    case ErrorKind::kEmptyIndexTraining: return name;
    default: return name + "(\"" + detail_ + "\")";
  }
}

}  // namespace pallix

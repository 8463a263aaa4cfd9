// What every build says about hives; hive_reader_hivex.cc reads them,
// hive_reader_none.cc refuses them.
#include "users/hive_reader.h"

#include <utility>

HiveStatus HiveStatus::read(std::string_view hive) {
  HiveStatus status;
  status.hive_ = hive;
  return status;
}

HiveStatus HiveStatus::failed(std::string_view hive, std::string_view reason) {
  HiveStatus status;
  status.failed_ = true;
  status.hive_ = hive;
  status.reason_ = reason;
  return status;
}

std::string HiveStatus::message() const { return "Can't read registry hive " + hive_ + ": " + reason_; }

HiveCopy::HiveCopy(HiveCopy&& other) noexcept : file_(other.file_) { other.file_ = kInvalidHandle; }

HiveCopy& HiveCopy::operator=(HiveCopy&& other) noexcept {
  if (this != &other) {
    if (file_ != kInvalidHandle) close_file(file_);
    file_ = other.file_;
    other.file_ = kInvalidHandle;
  }
  return *this;
}

HiveCopy::~HiveCopy() {
  if (file_ != kInvalidHandle) close_file(file_);
}

HiveStatus read_hive_bytes(std::string_view label, std::string_view bytes, HiveNames* out) {
  HiveCopy copy;
  std::string reason;
  if (!copy.begin(&reason) || !copy.append(bytes.data(), bytes.size(), &reason))
    return HiveStatus::failed(label, reason);
  return read_hive_copy(label, std::move(copy), out);
}

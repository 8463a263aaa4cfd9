// The user names of a run (the user_name of the UTF-8 formats): the
// sources of users/user_names.h gathered in their order (the image's
// SOFTWARE hives, then its SAM hives, then the --registry hive files, then
// the system's accounts on Windows) and a record sink that names each
// record's user.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "decode/record_sink.h"
#include "platform/file_system.h"
#include "users/user_names.h"
#include "users/volume_hives.h"

class RunUserNames {
 public:
  // Where each hive that cannot be read is named.
  using Say = std::function<void(const std::string& text)>;

  // Reads the hive files named by --registry, in order.
  void read_registry_files(const std::vector<std::string>& files, const Say& say);
  // Reads the hives of one volume of the image (`label_prefix` names them:
  // "IMAGE:p2:").
  void read_volume(FileSystem* fs, const std::string& label_prefix, const Say& say);
  // Adds every source read, in order, and the system's accounts when
  // `system_accounts`; names() names SIDs from then on.  Only the first
  // call counts.
  void finish(bool system_accounts);
  const UserNames& names() const { return names_; }
  // Whether a hive could not be read (the run then ends with 10).
  bool failed() const { return failed_; }

 private:
  void said(const HiveStatus& status, const Say& say);

  VolumeHives image_;
  std::vector<HiveNames> registry_;
  UserNames names_;
  bool finished_ = false;
  bool failed_ = false;
};

// Hands every record on to `next` with the account name of its user_sid.
class NameUsers final : public RecordSink {
 public:
  NameUsers(const UserNames* names, RecordSink* next) : names_(names), next_(next) {}
  bool take(const RecycleRecord& record) override;

 private:
  const UserNames* names_;
  RecordSink* next_;
};

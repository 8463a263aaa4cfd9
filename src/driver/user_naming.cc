#include "driver/user_naming.h"

#include <utility>

#include "platform/account_name.h"
#include "users/hive_reader.h"

void RunUserNames::said(const HiveStatus& status, const Say& say) {
  failed_ = true;
  say(status.message());
}

void RunUserNames::read_registry_files(const std::vector<std::string>& files, const Say& say) {
  for (const std::string& file : files) {
    HiveNames names;
    const HiveStatus status = read_hive_file(file, &names);
    if (!status.ok()) {
      said(status, say);
      continue;
    }
    registry_.push_back(std::move(names));
  }
}

void RunUserNames::read_volume(FileSystem* fs, const std::string& label_prefix, const Say& say) {
  VolumeHives found;
  read_volume_hives(fs, label_prefix, &found);
  for (const HiveStatus& status : found.failed) said(status, say);
  for (HiveNames& hive : found.software) image_.software.push_back(std::move(hive));
  for (HiveNames& hive : found.sam) image_.sam.push_back(std::move(hive));
}

void RunUserNames::finish(bool system_accounts) {
  if (finished_) return;
  finished_ = true;
  for (const HiveNames& hive : image_.software) names_.add(hive);
  for (const HiveNames& hive : image_.sam) names_.add(hive);
  for (const HiveNames& hive : registry_) names_.add(hive);
  if (system_accounts && kSystemAccountNames) names_.add_system_accounts(system_account_name);
  image_ = VolumeHives();
  registry_.clear();
}

bool NameUsers::take(const RecycleRecord& record) {
  if (record.user_sid.empty()) return next_->take(record);
  RecycleRecord named = record;
  named.user_name = names_->name_of(record.user_sid);
  return next_->take(named);
}

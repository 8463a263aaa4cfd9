// User names (users/): the account name of a SID, from the registry hives
// of the evidence (a SOFTWARE hive's ProfileList, a SAM hive's local
// accounts), from the system's own accounts (Windows), and for the SIDs
// whose names Windows fixes.  Hives are read by hive_reader.h, through
// hivex, which is loaded only when a hive is read.  This folder includes
// common/ and platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// What a hive is, told by its keys: a SOFTWARE hive has
// Microsoft\Windows NT\CurrentVersion, a SAM hive SAM\Domains\Account.
enum class HiveKind : uint8_t { kOther, kSoftware, kSam };

struct SidName {
  std::string sid;   // "S-1-5-21-...-1001"
  std::string name;  // UTF-8
};

// The names one hive gives, as read from it.
struct HiveNames {
  HiveKind kind = HiveKind::kOther;
  // A SOFTWARE hive: each SID of its ProfileList with the last component of
  // its ProfileImagePath; a SAM hive: each local account's SID (the
  // machine's SID and the account's RID) with the account's name.  In the
  // hive's order.
  std::vector<SidName> names;
};

// The names Windows gives the service accounts S-1-5-18 ("SYSTEM"),
// S-1-5-19 ("LOCAL SERVICE") and S-1-5-20 ("NETWORK SERVICE"); empty for
// any other SID.
std::string_view well_known_name(std::string_view sid);

// Names SIDs from sources asked in the order they were added; a SID that
// no source knows gets its well-known name, if it has one.  A run adds
// them in this order:
//   1. image runs: every SOFTWARE hive found in the image (in any volume),
//      then every SAM hive;
//   2. every hive named by --registry;
//   3. Windows runs without an image: the system's accounts.
// A ProfileList knows users by their profile folders, and the service
// accounts' folders (systemprofile, LocalService, NetworkService) are not
// their names: a SOFTWARE hive's entries for the SIDs that have a
// well-known name are passed over, so those SIDs are named by the system
// or by their well-known names.
//
// Adding sources allocates; name_of() does not, except the first time the
// system's accounts are asked about a SID (the answer is kept).  Not for
// use by two threads at once.
class UserNames {
 public:
  // Asks the system's accounts about one SID: its name, or false when the
  // SID is not known there.
  using AccountLookup = bool (*)(std::string_view sid, std::string* name);

  // Adds the names of one hive as the next source.  A SID that an earlier
  // source names keeps that name; so does a SID named twice in one hive.
  void add(const HiveNames& hive);
  // Adds the system's accounts as the next source (platform/account_name.h
  // on Windows); `lookup` is asked once per SID that no earlier source
  // knows, when it is first looked up.
  void add_system_accounts(AccountLookup lookup);
  // The name of `sid` (the case of its leading S ignored); empty when
  // nothing knows it.  The view stays valid while this object lives and no
  // source is added.
  std::string_view name_of(std::string_view sid) const;
  // How many SIDs the hives added so far name.
  size_t hive_names() const { return names_.size(); }

 private:
  struct Entry {
    std::string sid, name;
    uint32_t source = 0;  // the first source that named it
  };
  struct SidLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  // What the system's accounts answered, by SID (empty: not known); a map,
  // so that the views handed out stay where they are.
  std::string_view asked(std::string_view sid) const;

  std::vector<Entry> names_;  // sorted by SID, one entry per SID
  uint32_t sources_ = 0;
  AccountLookup lookup_ = nullptr;
  uint32_t lookup_source_ = 0;
  mutable std::map<std::string, std::string, SidLess> answers_;
};

#include "users/user_names.h"

#include <algorithm>
#include <utility>

#include "users/sid.h"

namespace {

constexpr std::pair<std::string_view, std::string_view> kWellKnown[] = {
    {"S-1-5-18", "SYSTEM"},
    {"S-1-5-19", "LOCAL SERVICE"},
    {"S-1-5-20", "NETWORK SERVICE"},
};

}  // namespace

std::string_view well_known_name(std::string_view sid) {
  for (const auto& [known, name] : kWellKnown) {
    if (compare_sids(sid, known) == 0) return name;
  }
  return {};
}

bool UserNames::SidLess::operator()(std::string_view a, std::string_view b) const {
  return compare_sids(a, b) < 0;
}

void UserNames::add(const HiveNames& hive) {
  const uint32_t source = sources_++;
  const size_t before = names_.size();
  for (const SidName& n : hive.names) {
    if (!is_sid(n.sid) || n.name.empty()) continue;
    if (hive.kind == HiveKind::kSoftware && !well_known_name(n.sid).empty()) continue;
    Entry e{n.sid, n.name, source};
    e.sid[0] = 'S';
    names_.push_back(std::move(e));
  }
  if (names_.size() == before) return;
  // Earlier sources, and earlier entries of this one, stay first among
  // equal SIDs; the first of each SID is kept.
  const auto less = [](const Entry& a, const Entry& b) { return compare_sids(a.sid, b.sid) < 0; };
  std::stable_sort(names_.begin(), names_.end(), less);
  const auto same = [](const Entry& a, const Entry& b) { return compare_sids(a.sid, b.sid) == 0; };
  names_.erase(std::unique(names_.begin(), names_.end(), same), names_.end());
}

void UserNames::add_system_accounts(AccountLookup lookup) {
  lookup_ = lookup;
  lookup_source_ = sources_++;
}

std::string_view UserNames::asked(std::string_view sid) const {
  auto it = answers_.find(sid);
  if (it == answers_.end()) {
    std::string name;
    if (!lookup_(sid, &name)) name.clear();
    std::string key(sid);
    key[0] = 'S';
    it = answers_.emplace(std::move(key), std::move(name)).first;
  }
  return it->second;
}

std::string_view UserNames::name_of(std::string_view sid) const {
  if (!is_sid(sid)) return {};
  const auto it = std::lower_bound(names_.begin(), names_.end(), sid,
                                   [](const Entry& e, std::string_view s) { return compare_sids(e.sid, s) < 0; });
  const Entry* named = it != names_.end() && compare_sids(it->sid, sid) == 0 ? &*it : nullptr;
  if (lookup_ != nullptr && (named == nullptr || lookup_source_ < named->source)) {
    const std::string_view answer = asked(sid);
    if (!answer.empty()) return answer;
  }
  if (named != nullptr) return named->name;
  return well_known_name(sid);
}

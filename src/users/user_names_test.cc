#include "users/user_names.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/test_allocations.h"

namespace {

const char kAlice[] = "S-1-5-21-3623811015-3361044348-30300820-1001";
const char kBob[] = "S-1-5-21-3623811015-3361044348-30300820-1002";
const char kLocal[] = "S-1-5-21-1760460187-1592185332-161725925-500";

HiveNames hive(HiveKind kind, std::vector<SidName> names) {
  HiveNames h;
  h.kind = kind;
  h.names = std::move(names);
  return h;
}

// The system's accounts of the tests: what they know, and what they were
// asked.
std::map<std::string, std::string> g_system;
std::vector<std::string> g_asked;
bool fake_lookup(std::string_view sid, std::string* name) {
  g_asked.emplace_back(sid);
  const auto it = g_system.find(std::string(sid));
  if (it == g_system.end()) return false;
  *name = it->second;
  return true;
}

class UserNamesTest : public testing::Test {
 protected:
  void SetUp() override {
    g_system.clear();
    g_asked.clear();
  }
};

TEST_F(UserNamesTest, TheWellKnownSids) {
  EXPECT_EQ(well_known_name("S-1-5-18"), "SYSTEM");
  EXPECT_EQ(well_known_name("S-1-5-19"), "LOCAL SERVICE");
  EXPECT_EQ(well_known_name("s-1-5-20"), "NETWORK SERVICE");
  for (const char* other : {"S-1-5-21", "S-1-5-180", "S-1-5-1", "S-1-5-32-544", ""})
    EXPECT_EQ(well_known_name(other), "") << other;
  // With no source at all, they are still named; nothing else is.
  const UserNames none;
  EXPECT_EQ(none.name_of("S-1-5-18"), "SYSTEM");
  EXPECT_EQ(none.name_of(kAlice), "");
}

TEST_F(UserNamesTest, TheFirstSourceThatKnowsASidNamesIt) {
  // A SOFTWARE hive and a SAM hive of one machine that disagree (a profile
  // folder named otherwise than its account), and a second machine.
  UserNames names;
  names.add(hive(HiveKind::kSoftware, {{kLocal, "Preston.EXAMINER-PC"}, {kAlice, "alice"}}));
  names.add(hive(HiveKind::kSam, {{kLocal, "Preston"}, {kBob, "bob"}}));
  names.add(hive(HiveKind::kSoftware, {{kAlice, "alice2"}, {kBob, "bob2"}}));
  EXPECT_EQ(names.name_of(kLocal), "Preston.EXAMINER-PC");
  EXPECT_EQ(names.name_of(kAlice), "alice");
  EXPECT_EQ(names.name_of(kBob), "bob");
  EXPECT_EQ(names.hive_names(), 3u);
  // The other way round, the SAM's name wins.
  UserNames reversed;
  reversed.add(hive(HiveKind::kSam, {{kLocal, "Preston"}}));
  reversed.add(hive(HiveKind::kSoftware, {{kLocal, "Preston.EXAMINER-PC"}}));
  EXPECT_EQ(reversed.name_of(kLocal), "Preston");
  // A SID named twice in one hive keeps its first name.
  UserNames twice;
  twice.add(hive(HiveKind::kSam, {{kBob, "first"}, {kAlice, "alice"}, {kBob, "second"}}));
  EXPECT_EQ(twice.name_of(kBob), "first");
  EXPECT_EQ(twice.hive_names(), 2u);
}

TEST_F(UserNamesTest, SidsAreMatchedWhateverTheCaseOfTheirS) {
  UserNames names;
  names.add(hive(HiveKind::kSam, {{"s-1-5-21-1-2-3-1001", "lower"}, {kAlice, "alice"}}));
  EXPECT_EQ(names.name_of("S-1-5-21-1-2-3-1001"), "lower");
  EXPECT_EQ(names.name_of("s-1-5-21-3623811015-3361044348-30300820-1001"), "alice");
  EXPECT_EQ(names.name_of("s-1-5-19"), "LOCAL SERVICE");
  // Nothing else about a SID is folded: a near miss is unknown.
  EXPECT_EQ(names.name_of("S-1-5-21-1-2-3-01001"), "");
  EXPECT_EQ(names.name_of("S-1-5-21-1-2-3-100"), "");
}

TEST_F(UserNamesTest, EntriesThatNameNobodyAreLeftOut) {
  UserNames names;
  names.add(hive(HiveKind::kSam, {{"S-1-5-21-1-2-3-1001.bak", "bak"}, {"", "nobody"}, {kAlice, ""},
                                  {"desktop.ini", "x"}, {kBob, "bob"}}));
  EXPECT_EQ(names.hive_names(), 1u);
  EXPECT_EQ(names.name_of(kBob), "bob");
  EXPECT_EQ(names.name_of(kAlice), "");
  EXPECT_EQ(names.name_of("S-1-5-21-1-2-3-1001.bak"), "");
  EXPECT_EQ(names.name_of(""), "");
}

TEST_F(UserNamesTest, AProfileFolderDoesNotNameAServiceAccount) {
  // As every Windows keeps them: the folders are not the accounts' names.
  UserNames names;
  names.add(hive(HiveKind::kSoftware, {{"S-1-5-18", "systemprofile"},
                                       {"S-1-5-19", "LocalService"},
                                       {"S-1-5-20", "NetworkService"},
                                       {kAlice, "alice"}}));
  EXPECT_EQ(names.name_of("S-1-5-18"), "SYSTEM");
  EXPECT_EQ(names.name_of("S-1-5-19"), "LOCAL SERVICE");
  EXPECT_EQ(names.name_of("S-1-5-20"), "NETWORK SERVICE");
  EXPECT_EQ(names.name_of(kAlice), "alice");
  EXPECT_EQ(names.hive_names(), 1u);
}

TEST_F(UserNamesTest, TheSystemsAccountsInTheirPlace) {
  g_system = {{kAlice, "alice-system"}, {kBob, "bob-system"}, {"S-1-5-19", "LOKALER DIENST"}};
  UserNames names;
  names.add(hive(HiveKind::kSam, {{kAlice, "alice-hive"}}));
  names.add_system_accounts(fake_lookup);
  names.add(hive(HiveKind::kSam, {{kBob, "bob-hive"}, {kLocal, "Administrator"}}));
  // A hive added before the system's accounts comes first; the system's
  // accounts come before a hive added after them, and before the
  // well-known names.
  EXPECT_EQ(names.name_of(kAlice), "alice-hive");
  EXPECT_EQ(names.name_of(kBob), "bob-system");
  EXPECT_EQ(names.name_of(kLocal), "Administrator");
  EXPECT_EQ(names.name_of("S-1-5-19"), "LOKALER DIENST");
  EXPECT_EQ(names.name_of("S-1-5-18"), "SYSTEM");
  EXPECT_EQ(names.name_of("S-1-5-21-9-9-9-1001"), "");
  // The system was not asked about the SID the first hive knows, and was
  // asked once about each other SID, however often it is looked up.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(names.name_of(kBob), "bob-system");
    EXPECT_EQ(names.name_of("s-1-5-21-9-9-9-1001"), "");
    EXPECT_EQ(names.name_of(kLocal), "Administrator");
  }
  EXPECT_EQ(g_asked, (std::vector<std::string>{kBob, kLocal, "S-1-5-19", "S-1-5-18", "S-1-5-21-9-9-9-1001"}));
}

TEST_F(UserNamesTest, NamesStayWhereTheyAreAndLookupsDoNotAllocate) {
  g_system = {{"S-1-5-21-9-9-9-1", "system-one"}};
  UserNames names;
  std::vector<SidName> many;
  for (int i = 0; i < 1000; ++i) many.push_back({"S-1-5-21-1-2-3-" + std::to_string(i), "user" + std::to_string(i)});
  names.add(hive(HiveKind::kSam, many));
  names.add_system_accounts(fake_lookup);
  g_asked.reserve(16);
  const std::string_view seven = names.name_of("S-1-5-21-1-2-3-7");
  const std::string_view asked = names.name_of("S-1-5-21-9-9-9-1");
  // Asking the system about more SIDs keeps its earlier answers in place.
  for (int i = 2; i < 10; ++i) (void)names.name_of("S-1-5-21-9-9-9-" + std::to_string(i));
  EXPECT_EQ(names.name_of("S-1-5-21-1-2-3-7").data(), seven.data());
  EXPECT_EQ(names.name_of("S-1-5-21-9-9-9-1").data(), asked.data());
  EXPECT_EQ(asked, "system-one");
  // Once built, and once the system was asked about each SID, looking
  // names up allocates nothing, whatever the SID.
  const std::string sids[] = {"S-1-5-21-1-2-3-999", "s-1-5-21-1-2-3-0", "S-1-5-18", "S-1-5-21-9-9-9-1",
                              "S-1-5-21-9-9-9-5", "not a sid", ""};
  for (const std::string& sid : sids) (void)names.name_of(sid);
  const long before = test_allocations();
  size_t total = 0;
  for (int round = 0; round < 100; ++round) {
    for (const std::string& sid : sids) total += names.name_of(sid).size();
  }
  EXPECT_EQ(test_allocations() - before, 0);
  EXPECT_EQ(total, 100u * (7 + 5 + 6 + 10));
}

}  // namespace

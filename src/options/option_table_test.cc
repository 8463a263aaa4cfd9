#include "options/option_table.h"

#include "platform/digests.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

TEST(OptionTable, EveryLetterHasOneRow) {
  std::map<char, int> rows;
  for (const OptionKey& key : option_keys())
    for (const char* l = key.letters; *l; ++l) ++rows[*l];
  ASSERT_FALSE(rows.empty());
  for (const auto& [letter, count] : rows) {
    EXPECT_EQ(count, 1) << letter;
    const OptionKey* key = option_key_for_letter(letter);
    ASSERT_NE(key, nullptr) << letter;
    EXPECT_NE(std::string(key->letters).find(letter), std::string::npos) << letter;
  }
  EXPECT_EQ(option_key_for_letter('k'), nullptr);
  EXPECT_EQ(option_key_for_letter('-'), nullptr);  // words, read before the table
  EXPECT_EQ(option_key_for_letter('\0'), nullptr);
}

// The word keys are prefix tests whose order does not matter only while
// none begins another; a whole word beyond them may not begin with one
// either, or the key would take it.
TEST(OptionTable, NoWordKeyBeginsAnother) {
  std::vector<std::string> keys, whole;
  for (const OptionKey& key : option_keys()) {
    for (const char* word : key.words) {
      if (!word) break;
      (key.word_match == WordMatch::kWholeWord ? whole : keys).push_back(lower(word));
    }
  }
  ASSERT_FALSE(keys.empty());
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      if (&a != &b) {
        EXPECT_NE(b.rfind(a, 0), 0u) << b << " begins with " << a;
      }
    }
    for (const std::string& w : whole) EXPECT_NE(w.rfind(a, 0), 0u) << w << " begins with " << a;
  }
}

// The INI reader takes a line by the first key it holds, in the table's
// order: the accounting key before the append key ("ACCT=append.log"), the
// delimiter before the keys after it.
TEST(OptionTable, TheIniKeysKeepTheirOrder) {
  std::vector<std::string> order;
  for (const OptionKey& key : option_keys())
    if (key.ini[0].text) order.emplace_back(key.ini[0].text);
  const std::vector<std::string> expected = {
      "ACCT", "APPEND", "BINARY", "DELIMETER", "INDIV", "EXCLUDE", "FILE", "TRUE",
      "MEMO", "MILITARY", "OUTPUT", "PATH", "PAUSE", "QUIET", "RECURSE", "RESET"};
  EXPECT_EQ(order, expected);
}

}  // namespace

namespace {

TEST(OptionTable, DigestListsTakeTheThreeNamesInAnyOrderAndCase) {
  unsigned kinds = 0;
  ASSERT_TRUE(digest_list_value("md5", &kinds));
  EXPECT_EQ(kinds, digest_bit(kDigestMd5));
  ASSERT_TRUE(digest_list_value("SHA256,md5,Sha1", &kinds));
  EXPECT_EQ(kinds, digest_bit(kDigestMd5) | digest_bit(kDigestSha1) | digest_bit(kDigestSha256));
  for (const char* refused : {"", "sha512", "md5,", ",md5", "md5,md5", "md5 ,sha1", "sha-256",
                              "md5;sha1", "sha"})
    EXPECT_FALSE(digest_list_value(refused, &kinds)) << refused;
}

}  // namespace

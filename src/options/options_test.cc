#include "options/options.h"

#include <gtest/gtest.h>

#include "platform/digests.h"

#include <memory>
#include <string>
#include <vector>

#include "common/evidence.h"
#include "common/test_tree.h"
#include "image/evidence_image.h"
#include "image/shadow_copies.h"
#include "options/long_options.h"
#include "options/option_table.h"
#include "options/test_options.h"
#include "users/hive_reader.h"

namespace {

using Strings = std::vector<std::string>;

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_option_state(); }
  // Parses a command line that follows the program name.
  int parse(std::vector<std::string> args) {
    args_ = std::make_unique<ArgVector>(args);
    return parse_options(args_->argc(), args_->argv());
  }
  std::string arg(size_t i) const { return args_->argv()[i]; }
  std::unique_ptr<ArgVector> args_;
};

TEST_F(OptionsTest, OnlyBareArgumentsReturnTheCountAndTheDefaultPattern) {
  EXPECT_EQ(parse({"-.ini"}), 1);
  SetUp();
  EXPECT_EQ(parse({"a", "b"}), 3);
  EXPECT_EQ(g_options.pattern_list, Strings{"*.*"});
  EXPECT_EQ(g_options.delimiter, '|');
}

TEST_F(OptionsTest, ABareArgumentEndsTheOptions) {
  EXPECT_EQ(parse({"/case", "-p", "/x", "-r", "extra", "-f", "a", "-.ini"}), 2);
  EXPECT_EQ(g_options.path_list, Strings{"/x"});
  EXPECT_EQ(g_options.recurse, 0);
  EXPECT_EQ(g_options.pattern_list, Strings{"*.*"});
}

TEST_F(OptionsTest, LettersShareAnArgumentAndTakeTheirValues) {
  parse({"-.ini", "-pr", "/d1", "/d2/"});
  EXPECT_EQ(g_options.path_list, (Strings{"/d1", "/d2"}));
  EXPECT_EQ(g_options.recurse, 0);
  EXPECT_EQ(arg(4), "/d2");  // the path list shortens the argument itself

  SetUp();
  parse({"-.ini", "-dr", ","});
  EXPECT_EQ(g_options.delimiter, ',');
  EXPECT_EQ(g_options.recurse, 0);

  SetUp();
  parse({"-.ini", "-Oout.txt", "-RB"});
  EXPECT_EQ(g_options.append, 1);
  EXPECT_EQ(g_options.output_to_file, 1);
  EXPECT_EQ(g_options.output_name, "out.txt");
  EXPECT_EQ(g_options.reset_times, 1);
  EXPECT_EQ(g_options.no_header, 1);

  SetUp();
  parse({"-.ini", "-o", "-", "-Q", "-d", "44", "-X", "-text", "-E5", "-g", "-3", "-bcCHhIiq"});
  EXPECT_EQ(g_options.output_name, "-");
  EXPECT_EQ(g_options.no_header, 1);
  EXPECT_EQ(g_options.delimiter, ',');
}

TEST_F(OptionsTest, AppendOnAndOff) {
  parse({"-.ini", "-a"});
  EXPECT_EQ(g_options.append, 1);
  parse({"-.ini", "+a"});
  EXPECT_EQ(g_options.append, 0);
  parse({"-.ini", "-A", "--out=x"});
  EXPECT_EQ(g_options.append, 0);
  parse({"-.ini", "--out=x", "-a"});
  EXPECT_EQ(g_options.append, 1);
}

TEST_F(OptionsTest, ExclusionsStartAfreshWithEachDashX) {
  parse({"-.ini", "--EX=*.tmp", "-x", "a", "b", "-x", "c"});
  EXPECT_EQ(g_options.exclude_list.patterns(), Strings{"C"});
  EXPECT_EQ(g_options.exclude_active, 1);
  SetUp();
  parse({"-.ini", "--EX=*.TMP", "--Not=*.tmp", "--not=x*"});
  EXPECT_EQ(g_options.exclude_list.patterns(), (Strings{"*.TMP", "*.TMP", "X*"}));
}

TEST_F(OptionsTest, PatternsAreKeptAsGiven) {
  parse({"-.ini", "-f", "$I*.*", "$i*.*", "$I*.*"});
  EXPECT_EQ(g_options.pattern_list, (Strings{"$I*.*", "$i*.*", "$I*.*"}));
}

TEST_F(OptionsTest, TheDotIniArgumentMakesTheNextOneAnOptionArgument) {
  parse({"-.INI", "/r"});  // its first character is the prefix, whatever it is
  EXPECT_EQ(g_options.recurse, 0);
}

using OptionsDeathTest = OptionsTest;

TEST_F(OptionsDeathTest, IllegalAndIncompleteOptionsEndWithCode5) {
  EXPECT_EXIT(parse({"-.ini", "-1", "-r"}), ::testing::ExitedWithCode(5), "This program: binsift");
  EXPECT_EXIT(parse({"-.ini", "-x", "-r"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-x"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-g"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-E"}), ::testing::ExitedWithCode(5), "^$");
  EXPECT_EXIT(parse({"-.ini", "-E", "-r"}), ::testing::ExitedWithCode(5), "^$");
  EXPECT_EXIT(parse({"-.ini", "-f", "a\\b"}), ::testing::ExitedWithCode(5),
              "^Can't have a \\\\ in the file type option\n$");
  // On Linux the message names the separator that was refused.
  EXPECT_EXIT(parse({"-.ini", "-f", "dir/x"}), ::testing::ExitedWithCode(5),
              "^Can't have a / in the file type option\n$");
  EXPECT_EXIT(parse({"-.ini", "-f", "a/b\\c"}), ::testing::ExitedWithCode(5),
              "^Can't have a / in the file type option\n$");
  EXPECT_EXIT(parse({"-.ini", "-f", "a\\b/c"}), ::testing::ExitedWithCode(5),
              "^Can't have a \\\\ in the file type option\n$");
  EXPECT_EXIT(parse({"-.ini", "-?"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-r/k"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-S"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "--rec=Off"}), ::testing::ExitedWithCode(5), "");
}

TEST(LongOptions, FormatIsAWholeWordWithAKnownName) {
  Options o;
  EXPECT_EQ(o.report_format, "seed");
  EXPECT_EQ(parse_long_option("format=csv", &o), 0);
  EXPECT_EQ(o.report_format, "csv");
  EXPECT_EQ(parse_long_option("FORMAT=TSV", &o), 0);
  EXPECT_EQ(o.report_format, "tsv");
  EXPECT_EQ(parse_long_option("format=JSONL", &o), 0);
  EXPECT_EQ(o.report_format, "jsonl");
  EXPECT_EQ(parse_long_option("format=body", &o), 0);
  EXPECT_EQ(o.report_format, "body");
  EXPECT_EQ(parse_long_option("format=seed", &o), 0);
  EXPECT_EQ(o.report_format, "seed");
  // Refused: no value, an unknown name, a name in mixed case.
  for (const char* word : {"format", "format=", "format=xml", "format=Csv", "format=csv ",
                           "FORMAT=jsonl2", "format=se"}) {
    o.report_format = "body";
    EXPECT_EQ(parse_long_option(word, &o), 1) << word;
    EXPECT_EQ(o.report_format, "body") << word;
  }
  // Not the word: a slip of it is refused, a word further off is accepted
  // without effect.
  for (const char* word : {"formats=csv", "Format=csv", "forma=csv"}) {
    o.report_format = "seed";
    EXPECT_EQ(parse_long_option(word, &o), kWordNearMiss) << word;
    EXPECT_EQ(o.report_format, "seed") << word;
  }
  EXPECT_EQ(parse_long_option("formatcsv", &o), kWordAccepted);
  EXPECT_EQ(o.report_format, "seed");
}

TEST(LongOptions, CodepageNamesOneThisSystemDecodes) {
  Options o;
  EXPECT_EQ(o.codepage, "CP1252");
  EXPECT_EQ(parse_long_option("codepage=CP932", &o), 0);
  EXPECT_EQ(o.codepage, "CP932");
  EXPECT_EQ(parse_long_option("CODEPAGE=CP1251", &o), 0);
  EXPECT_EQ(o.codepage, "CP1251");
  for (const char* word : {"codepage", "codepage=", "codepage=NO-SUCH-PAGE", "codepage=../x"}) {
    EXPECT_EQ(parse_long_option(word, &o), 1) << word;
    EXPECT_EQ(o.codepage, "CP1251") << word;
  }
  EXPECT_EQ(parse_long_option("codepages=CP932", &o), kWordNearMiss);  // a slip: refused
  EXPECT_EQ(o.codepage, "CP1251");
}

TEST(LongOptions, HelpMoreTakesNoValueAndIsAWholeWord) {
  Options o;
  EXPECT_EQ(parse_long_option("help-more=yes", &o), 1);
  EXPECT_EQ(parse_long_option("help-mores", &o), kWordNearMiss);
  EXPECT_EQ(parse_long_option("Help-More", &o), kWordNearMiss);
}

TEST(LongOptions, HelpAndVersionAreWholeWordsWithoutValues) {
  Options o;
  EXPECT_EQ(parse_long_option("help", &o), kWordHelpScreen);
  EXPECT_EQ(parse_long_option("HELP", &o), kWordHelpScreen);
  EXPECT_EQ(parse_long_option("version", &o), kWordVersion);
  EXPECT_EQ(parse_long_option("VERSION", &o), kWordVersion);
  for (const char* word : {"help=", "help=x", "version=", "version=1"})
    EXPECT_EQ(parse_long_option(word, &o), kWordRefused) << word;
  EXPECT_EQ(parse_long_option("Version", &o), kWordNearMiss);
}

TEST(LongOptions, HashAndCollectTakeTheirValues) {
  Options o;
  EXPECT_EQ(parse_long_option("hash=md5,sha256", &o), kWordAccepted);
  EXPECT_EQ(o.hash_kinds, digest_bit(kDigestMd5) | digest_bit(kDigestSha256));
  EXPECT_EQ(parse_long_option("HASH=SHA1", &o), kWordAccepted);
  EXPECT_EQ(o.hash_kinds, digest_bit(kDigestSha1));  // the last one counts
  EXPECT_EQ(parse_long_option("collect=/tmp/out", &o), kWordAccepted);
  EXPECT_EQ(o.collect_dir, "/tmp/out");
  EXPECT_EQ(o.collect_word, "collect=/tmp/out");
  for (const char* word : {"hash", "hash=", "hash=sha512", "collect", "collect=", "Hash=md5"})
    EXPECT_NE(parse_long_option(word, &o), kWordAccepted) << word;
}

TEST(LongOptions, ScanNamesAFileOrTheUnallocatedClusters) {
  Options o;
  EXPECT_EQ(parse_long_option("scan", &o), kWordAccepted);
  EXPECT_EQ(o.scan_unallocated, 1);
  EXPECT_EQ(o.scan_word, "scan");
  EXPECT_EQ(o.scan_file, "");
  Options f;
  EXPECT_EQ(parse_long_option("SCAN=/evidence/pagefile.sys", &f), kWordAccepted);
  EXPECT_EQ(f.scan_unallocated, 0);
  EXPECT_EQ(f.scan_file, "/evidence/pagefile.sys");
  EXPECT_EQ(parse_long_option("scan=", &f), kWordRefused);
  EXPECT_EQ(parse_long_option("Scan", &f), kWordNearMiss);
}

TEST(LongOptions, RegistryIsAWholeWordWithAValueAsOftenAsGiven) {
  if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  Options o;
  EXPECT_EQ(parse_long_option("registry=/case/SOFTWARE", &o), kWordAccepted);
  EXPECT_EQ(parse_long_option("REGISTRY=/case/SAM", &o), kWordAccepted);
  EXPECT_EQ(o.registry_files, (std::vector<std::string>{"/case/SOFTWARE", "/case/SAM"}));
  for (const char* word : {"registry", "registry=", "REGISTRY"})
    EXPECT_EQ(parse_long_option(word, &o), kWordRefused) << word;
  // Mixed case is no word of its own, nor a letter away: slips.
  for (const char* word : {"Registry=/case/SAM", "registy=/case/SAM", "regsitry=/case/SAM"})
    EXPECT_EQ(parse_long_option(word, &o), kWordNearMiss) << word;
  // Not a prefix word: what is further away has no effect, as any unknown
  // word.
  for (const char* word : {"reg=/case/SAM", "registries=/case/SAM"})
    EXPECT_EQ(parse_long_option(word, &o), kWordAccepted) << word;
  EXPECT_EQ(o.registry_files.size(), 2u);
}

TEST(NearMisses, WithinTwoEditsOfBinsiftsOwnWords) {
  struct Case {
    const char* word;
    const char* meant;
  } cases[] = {
      {"imgae=case.E01", "image"},  // a transposition
      {"imag=x", "image"},          // a deletion
      {"images", "image"},          // an insertion
      {"imaqe=x", "image"},         // a substitution
      {"IMGAE=x", "image"},         // case aside
      {"crave", "carve"},
      {"fromat=csv", "format"},
      {"codpage=CP932", "codepage"},
      {"help-mroe", "help-more"},
      {"hepl", "help"},
      {"verison", "version"},
      {"shadow", "shadows"},
      {"hsah=md5", "hash"},
      {"colect=x", "collect"},
      {"regsitry=x", "registry"},
      {"scna", "scan"},
      {"imgea", "image"},  // two transpositions' worth of edits
  };
  for (const Case& c : cases) {
    const char* got = near_miss_word(c.word);
    ASSERT_NE(got, nullptr) << c.word;
    EXPECT_STREQ(got, c.meant) << c.word;
  }
  // Three edits off, the classic keys (prefixes, never suggested), and what
  // only shares a beginning.
  for (const char* word : {"zzz", "imageset=x", "formatcsv", "apend", "recurse", "outfile",
                           "", "=image"}) {
    EXPECT_EQ(near_miss_word(word), nullptr) << word;
  }
}

TEST(NearMisses, EditDistanceCountsTranspositionsAsOne) {
  EXPECT_EQ(edit_distance("ab", 2, "ba", 5), 1u);
  EXPECT_EQ(edit_distance("abc", 3, "abc", 5), 0u);
  EXPECT_EQ(edit_distance("ABC", 3, "abc", 5), 0u);
  EXPECT_EQ(edit_distance("kitten", 6, "sitting", 5), 3u);
  EXPECT_EQ(edit_distance("", 0, "scan", 5), 4u);
  // Past the limit: the limit and one, however far.
  EXPECT_EQ(edit_distance("kitten", 6, "sitting", 2), 3u);
  const std::string far(5000, 'x');
  EXPECT_EQ(edit_distance(far.c_str(), far.size(), "image", 2), 3u);
}

TEST_F(OptionsDeathTest, HelpVersionAndNearMissesEndTheRun) {
  EXPECT_EXIT(parse({"-.ini", "--help"}), ::testing::ExitedWithCode(5), "This program");
  EXPECT_EXIT(parse({"-.ini", "-r", "--version", "-Z"}), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"-.ini", "--imgae=case.E01"}), ::testing::ExitedWithCode(5),
              "Did you mean --image\\?");
}

TEST_F(OptionsDeathTest, HelpMoreDescribesTheNewWordsAndEndsWithCode5) {
  EXPECT_EXIT(parse({"-.ini", "--help-more"}), ::testing::ExitedWithCode(5),
              "--format=NAME(.|\n)*--help-more");
  EXPECT_EXIT(parse({"-.ini", "--HELP-MORE="}), ::testing::ExitedWithCode(5), "--format=NAME");
  EXPECT_EXIT(parse({"-.ini", "--format=xml"}), ::testing::ExitedWithCode(5), "");
}

TEST(LongOptions, KeysByPrefixInOneCase) {
  Options o;
  EXPECT_EQ(parse_long_option("appendix", &o), 0);
  EXPECT_EQ(o.append, 1);
  o = Options();
  EXPECT_EQ(parse_long_option("Append", &o), 0);
  EXPECT_EQ(o.append, 0);
  EXPECT_EQ(parse_long_option("APPEND", &o), 0);
  EXPECT_EQ(o.append, 1);
  EXPECT_EQ(parse_long_option("zzz", &o), 0);
  EXPECT_EQ(parse_long_option("rec", &o), 0);
  EXPECT_EQ(o.recurse, 1);
  EXPECT_EQ(parse_long_option("rec=OFF", &o), 0);
  EXPECT_EQ(o.recurse, 0);
  EXPECT_EQ(parse_long_option("rec=on", &o), 0);
  EXPECT_EQ(o.recurse, 1);
  EXPECT_EQ(parse_long_option("rec=Off", &o), 1);
  EXPECT_EQ(parse_long_option("reset=off", &o), 0);
  EXPECT_EQ(o.reset_times, 0);
  EXPECT_EQ(parse_long_option("RES", &o), 0);
  EXPECT_EQ(o.reset_times, 1);
  EXPECT_EQ(parse_long_option("out", &o), 1);
  EXPECT_EQ(parse_long_option("out=", &o), 1);
  EXPECT_EQ(parse_long_option("del", &o), 1);
  EXPECT_EQ(parse_long_option("del=pipe", &o), 0);
  EXPECT_EQ(o.delimiter, '|');
  EXPECT_EQ(parse_long_option("dir", &o), 1);
  EXPECT_EQ(parse_long_option("wid=3", &o), 0);
  EXPECT_EQ(parse_long_option("st=maybe", &o), 1);
  EXPECT_EQ(parse_long_option("che=yes", &o), 1);
  EXPECT_EQ(parse_long_option("acc", &o), 1);
  EXPECT_EQ(parse_long_option("tru=anything", &o), 0);
  o = Options();
  EXPECT_EQ(parse_long_option("memo", &o), 0);
  EXPECT_EQ(o.memo_active, 1);
}

TEST(LongOptions, ImageAndCarveAreWholeWordsInOneCase) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  Options o;
  EXPECT_EQ(parse_long_option("image=/evidence/disk.E01", &o), 0);
  EXPECT_EQ(o.image_path, "/evidence/disk.E01");
  EXPECT_EQ(parse_long_option("IMAGE=relative.dd", &o), 0);
  EXPECT_EQ(o.image_path, "relative.dd");  // as given: the image is opened as named
  EXPECT_EQ(parse_long_option("image", &o), 1);
  EXPECT_EQ(parse_long_option("image=", &o), 1);
  o = Options();
  // Not the whole word, or mixed case: slips of it, refused.
  EXPECT_EQ(parse_long_option("images=x", &o), kWordNearMiss);
  EXPECT_EQ(parse_long_option("Image=x", &o), kWordNearMiss);
  EXPECT_EQ(parse_long_option("imag=x", &o), kWordNearMiss);
  EXPECT_EQ(o.image_path, "");
  EXPECT_EQ(parse_long_option("carve", &o), 0);
  EXPECT_EQ(o.carve, 1);
  EXPECT_EQ(o.carve_word, "carve");
  o = Options();
  EXPECT_EQ(parse_long_option("CARVE", &o), 0);
  EXPECT_EQ(o.carve, 1);
  EXPECT_EQ(o.carve_word, "CARVE");
  o = Options();
  EXPECT_EQ(parse_long_option("carve=on", &o), 1);
  EXPECT_EQ(parse_long_option("carving", &o), kWordAccepted);  // three letters off
  EXPECT_EQ(parse_long_option("Carve", &o), kWordNearMiss);
  EXPECT_EQ(o.carve, 0);
}

TEST_F(OptionsTest, ImageAndCarveTogetherInAnyOrder) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  parse({"-.ini", "--carve", "-p", "$Recycle.Bin", "--image=disk.dd"});
  EXPECT_EQ(g_options.image_path, "disk.dd");
  EXPECT_EQ(g_options.carve, 1);
  EXPECT_EQ(g_options.path_list, Strings{"$Recycle.Bin"});
}

TEST_F(OptionsDeathTest, CarveWithoutAnImageIsIllegal) {
  EXPECT_EXIT(
      {
        parse({"-.ini", "--CARVE", "-r"});
        fflush(stdout);
      },
      ::testing::ExitedWithCode(5), "");
  EXPECT_EXIT(parse({"-.ini", "--image"}), ::testing::ExitedWithCode(5), "");
  EXPECT_EXIT(parse({"-.ini", "--carve=yes", "--image=x"}), ::testing::ExitedWithCode(5), "");
}

TEST(LongOptions, ShadowsIsAWholeWordInOneCaseWithoutAValue) {
  if (!kShadowCopySupport) GTEST_SKIP() << "this build reads no shadow copies";
  Options o;
  EXPECT_EQ(parse_long_option("shadows", &o), 0);
  EXPECT_EQ(o.shadows, 1);
  EXPECT_EQ(o.shadows_word, "shadows");
  o = Options();
  EXPECT_EQ(parse_long_option("SHADOWS", &o), 0);
  EXPECT_EQ(o.shadows, 1);
  EXPECT_EQ(o.shadows_word, "SHADOWS");
  o = Options();
  EXPECT_EQ(parse_long_option("shadows=on", &o), 1);
  EXPECT_EQ(parse_long_option("shadows=", &o), 1);
  // Not the whole word, or mixed case: slips of it, refused.
  EXPECT_EQ(parse_long_option("shadow", &o), kWordNearMiss);
  EXPECT_EQ(parse_long_option("shadowsx", &o), kWordNearMiss);
  EXPECT_EQ(parse_long_option("Shadows", &o), kWordNearMiss);
  EXPECT_EQ(o.shadows, 0);
}

TEST_F(OptionsTest, ShadowsWithAnImageInAnyOrder) {
  if (!kShadowCopySupport) GTEST_SKIP() << "this build reads no shadow copies";
  parse({"-.ini", "--shadows", "-p", "$Recycle.Bin", "--carve", "--image=disk.dd"});
  EXPECT_EQ(g_options.image_path, "disk.dd");
  EXPECT_EQ(g_options.shadows, 1);
  EXPECT_EQ(g_options.carve, 1);
  reset_option_state();
  parse({"-.ini", "--image=disk.dd"});
  EXPECT_EQ(g_options.shadows, 0);
}

TEST_F(OptionsDeathTest, ShadowsWithoutAnImageIsIllegal) {
  EXPECT_EXIT(
      {
        parse({"-.ini", "--SHADOWS", "-r"});
        fflush(stdout);
      },
      ::testing::ExitedWithCode(5), "");
  EXPECT_EXIT(parse({"-.ini", "--shadows=yes", "--image=x"}), ::testing::ExitedWithCode(5), "");
}

TEST_F(OptionsDeathTest, BuildsWithoutShadowCopiesRefuseTheWordAsTheyRefuseImages) {
  if (kShadowCopySupport) GTEST_SKIP() << "this build reads shadow copies";
  EXPECT_EXIT(parse({"-.ini", "--shadows"}), ::testing::ExitedWithCode(5),
              kImageSupport ? "^\nShadow copies are not supported by this build\n$"
                            : "^\nEvidence images are not supported by this build\n$");
}

// The image and the format as the option loop will apply them, known
// before it runs: the same arguments, after the same letters that take
// values.
TEST_F(OptionsTest, EarlyWordsAreTheOnesTheOptionsApply) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  const std::vector<Strings> lines = {
      {"-.ini", "--image=a.img"},
      {"-.ini", "-o", "--image=x", "--format=csv"},
      {"-.ini", "-O", "--format=csv", "--IMAGE=B.IMG", "--FORMAT=TSV"},
      {"-.ini", "-p", "/d", "--image=b", "-f", "x", "--format=tsv", "--format=jsonl"},
      {"-.ini", "--image=c", "-d", "--image=d"},
      {"-.ini", "--format=csv", "-X", "--format=tsv"},
      {"-.ini", "-Xvalue", "--format=body"},
      {"-.ini", "-r-image=e"},
      {"-.ini", "-Oout", "--image=g", "-o", "--image=g2"},
      {"bare", "-.ini", "--format=body", "extra", "--image=h"},
      {"-.ini", "-E", "5", "--image=i"},
      {"-.ini", "-E5", "--image=i2"},
      {"-.ini", "--image=j", "-g", "--image=k"},
      {"-.ini", "-l3", "--image=k2"},
      {"-.ini", "-f", "a", "b", "--format=CSV", "-x", "*.tmp", "--image=l"},
      {"-.ini", "--imagefile=m", "--Imagery-x=n", "--Formatted=csv", "--formatting=csv"},
      {"-.ini", "--out=--image=o", "--ex=--image=p"},
      {"-.ini", "+1", "--image=q"},
      {"--image=r", "-.ini"},
  };
  for (const Strings& line : lines) {
    SetUp();
    ArgVector args(line);
    const EarlyWords early = read_early_words(args.argc(), args.argv());
    parse(line);
    EXPECT_EQ(early.image, g_options.image_path) << ::testing::PrintToString(line);
    EXPECT_EQ(early.format, g_options.report_format) << ::testing::PrintToString(line);
  }
}

// Records, for every accounting and memo file the options open, whether it
// was already known to be evidence.  The evidence is what the run's own
// effects protect.
class EvidenceAwareOpener final : public RecordingEffects {
 public:
  void before_reading(const EarlyWords& words) override { run_.before_reading(words); }
  Status name_accounting_file(const char* path, const char*) override { return note(path); }
  Status add_accounting_file(const char* path, bool* taken) override {
    *taken = false;
    return note(path);
  }
  void name_memo_file(const char* path) override { (void)note(path); }
  std::vector<std::pair<std::string, bool>> opened;

 private:
  Status note(const char* path) {
    std::string reason;
    opened.emplace_back(path, is_evidence(path, &reason));
    return Status();
  }
  RunLog log_;
  RunOptionEffects run_{&log_};
};

TEST_F(OptionsTest, TheImageIsKnownBeforeAnythingIsOpened) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  TestTree tree;
  tree.file("ev.img", "image bytes");
  tree.file("other.log");
  const std::string image = tree.path("ev.img");
  const std::string other = tree.path("other.log");
  EvidenceAwareOpener opener;
  ArgVector args({"-.ini", "-1", image, "--memo=" + image, "-2", other, "--image=" + image});
  parse_options(args.argc(), args.argv(), &opener);
  EXPECT_EQ(opener.opened, (std::vector<std::pair<std::string, bool>>{
                               {image, true}, {image, true}, {other, false}}));
  // A run without an image protects nothing.
  opener.opened.clear();
  SetUp();
  ArgVector plain({"-.ini", "-1", image});
  parse_options(plain.argc(), plain.argv(), &opener);
  EXPECT_EQ(opener.opened, (std::vector<std::pair<std::string, bool>>{{image, false}}));
}

TEST_F(OptionsTest, RegistryHivesAreKnownBeforeAnythingIsOpened) {
  if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  TestTree tree;
  tree.file("SAM", "hive bytes");
  tree.file("SOFTWARE", "hive bytes");
  tree.file("other.log");
  const std::string sam = tree.path("SAM");
  const std::string software = tree.path("SOFTWARE");
  const std::string other = tree.path("other.log");
  EvidenceAwareOpener opener;
  ArgVector args({"-.ini", "-1", sam, "--memo=" + software, "-2", other, "--registry=" + sam,
                  "--registry=" + software});
  parse_options(args.argc(), args.argv(), &opener);
  EXPECT_EQ(opener.opened, (std::vector<std::pair<std::string, bool>>{
                               {sam, true}, {software, true}, {other, false}}));
  std::string reason;
  ASSERT_TRUE(is_evidence(software.c_str(), &reason));
  EXPECT_EQ(reason, "it is the registry hive " + software);
}

TEST_F(OptionsDeathTest, BuildsWithoutHivesRefuseTheRegistryWordAsTheyRefuseImages) {
  if (kHiveSupport) GTEST_SKIP() << "this build reads hives";
  EXPECT_EXIT(parse({"-.ini", "--registry=SAM"}), ::testing::ExitedWithCode(5),
              "^\nRegistry hives are not supported by this build\n$");
}

TEST_F(OptionsDeathTest, BuildsWithoutImagesRefuseTheImageWord) {
  if (kImageSupport) GTEST_SKIP() << "this build reads images";
  EXPECT_EXIT(parse({"-.ini", "--image=disk.dd"}), ::testing::ExitedWithCode(5),
              "^\nEvidence images are not supported by this build\n$");
}

}  // namespace

#include "common/evidence.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <string>

#include "common/test_tree.h"

namespace {

class Evidence : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.file("case/ev.img", std::string(4096, 'x'));
    tree_.file("case/copy.img", std::string(4096, 'x'));
    image_ = tree_.path("case/ev.img");
  }
  void TearDown() override { protect_evidence(""); }
  TestTree tree_;
  std::string image_;
};

TEST_F(Evidence, EveryNameOfTheImageIsRefusedWithTheReason) {
  namespace fs = std::filesystem;
  fs::create_hard_link(image_, tree_.path("hard"));
  fs::create_symlink(image_, tree_.path("soft"));
  fs::create_symlink("soft", tree_.path("soft2"));
  protect_evidence(image_.c_str());
  for (const std::string& name : {image_, tree_.path("case/../case/ev.img"), tree_.path("hard"),
                                  tree_.path("soft"), tree_.path("soft2")}) {
    std::string reason;
    EXPECT_TRUE(is_evidence(name.c_str(), &reason)) << name;
    EXPECT_EQ(reason, "it is part of the evidence image " + image_) << name;
  }
  std::string reason;
  // The same bytes in another file, and names of nothing, are not evidence.
  EXPECT_FALSE(is_evidence(tree_.path("case/copy.img").c_str(), &reason));
  EXPECT_FALSE(is_evidence(tree_.path("case/new.log").c_str(), &reason));
  EXPECT_FALSE(is_evidence(tree_.path("case").c_str(), &reason));
  EXPECT_EQ(reason, "");
}

TEST_F(Evidence, RelativeNamesAndTheImageAsGivenInTheReason) {
  namespace fs = std::filesystem;
  const fs::path here = fs::current_path();
  fs::current_path(tree_.path("case"));
  // A name with a control character is shown safely.
  fs::create_symlink("ev.img", "e\x1b[2Jv");
  protect_evidence("e\x1b[2Jv");
  std::string reason;
  EXPECT_TRUE(is_evidence("ev.img", &reason));
  EXPECT_EQ(reason, "it is part of the evidence image e?[2Jv");
  fs::current_path(here);
}

TEST_F(Evidence, NoImageOrAMissingOneProtectsNothing) {
  std::string reason;
  protect_evidence("");
  EXPECT_FALSE(is_evidence(image_.c_str(), &reason));
  protect_evidence(tree_.path("case/missing.img").c_str());
  EXPECT_FALSE(is_evidence(image_.c_str(), &reason));
  EXPECT_FALSE(is_evidence(tree_.path("case/missing.img").c_str(), &reason));
}

}  // namespace

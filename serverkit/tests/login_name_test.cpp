#include <gtest/gtest.h>

#include "login_name.h"

namespace zarnel::serverkit {
namespace {

TEST(LoginName, FoldsAsciiUpperCaseThenAppliesTheRule) {
  struct Case {
    std::string given;
    std::string folded;
    Check expected;
  };
  const Case cases[] = {
      {"alice", "alice", Check::kOk},
      {"Alice_01", "alice_01", Check::kOk},
      {"ZZ!~", "zz!~", Check::kOk},
      {std::string(32, 'Q'), std::string(32, 'q'), Check::kOk},
      {std::string(33, 'q'), std::string(33, 'q'), Check::kLoginNameLength},
      {"", "", Check::kLoginNameLength},
      {"al ice", "al ice", Check::kLoginNameCharacter},
      {"tab\there", "tab\there", Check::kLoginNameCharacter},
      {"del\x7f", "del\x7f", Check::kLoginNameCharacter},
      {"caf\xc3\xa9", "caf\xc3\xa9", Check::kLoginNameCharacter},  // not folded, not allowed
      {std::string("nul\0x", 5), std::string("nul\0x", 5), Check::kLoginNameCharacter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    const std::string folded = FoldLoginName(c.given);
    EXPECT_EQ(folded, c.folded);
    EXPECT_EQ(CheckLoginName(folded).check, c.expected);
  }
}

TEST(LoginName, RuleRejectsUpperCaseThatWasNotFolded) {
  EXPECT_EQ(CheckLoginName("Alice").check, Check::kLoginNameCharacter);
}

}  // namespace
}  // namespace zarnel::serverkit

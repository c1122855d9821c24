#include "platform/system/UserAdministrator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace qrv::platform {
namespace {

TEST(UserAdministratorTest, RootOrAnAdministratorGroupCounts) {
  std::map<gid_t, std::string> names = {{10, "wheel"}, {27, "sudo"}, {100, "users"},  {115, "admin"},
                                        {4, "adm"},    {28, "Sudo"}, {29, "sudoers"}};
  auto lookup = [&](gid_t g) -> std::optional<std::string> {
    auto it = names.find(g);
    return it == names.end() ? std::nullopt : std::optional<std::string>(it->second);
  };

  EXPECT_TRUE(UserAdministrator::Decide(0, {}, lookup)) << "root needs no group";
  EXPECT_TRUE(UserAdministrator::Decide(1000, {100, 27}, lookup)) << "sudo member, not elevated";
  EXPECT_TRUE(UserAdministrator::Decide(1000, {115, 100}, lookup));

  EXPECT_FALSE(UserAdministrator::Decide(1000, {}, lookup));
  EXPECT_FALSE(UserAdministrator::Decide(1000, {100, 4}, lookup)) << "adm reads logs, it does not administer";
  EXPECT_FALSE(UserAdministrator::Decide(1000, {28, 29}, lookup)) << "names match exactly";
  EXPECT_FALSE(UserAdministrator::Decide(1000, {999}, lookup)) << "a group without a name";
  EXPECT_FALSE(UserAdministrator::Decide(1000, {27}, nullptr)) << "no lookup, no names";
}

TEST(UserAdministratorTest, ProcessFactsIncludeThePrimaryGroups) {
  std::vector<gid_t> groups = UserAdministrator::ProcessGroups();
  EXPECT_NE(std::find(groups.begin(), groups.end(), getegid()), groups.end());
  EXPECT_EQ(UserAdministrator::GroupName(0).value_or(""), "root");
  EXPECT_EQ(UserAdministrator::IsAdministrator(),
            UserAdministrator::Decide(geteuid(), groups, &UserAdministrator::GroupName));
}

}  // namespace
}  // namespace qrv::platform

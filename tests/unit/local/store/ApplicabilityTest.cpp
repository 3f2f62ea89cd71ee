// What of a bundle applies to the host and the user: architectures, languages
// and the packages chosen from a bundle.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/deployment/local/store/Applicability.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

struct LanguagesCase {
    std::string name;
    std::map<std::string, std::string> environment;
    std::vector<std::wstring> languages;
};

class UserLanguagesTest : public testing::TestWithParam<LanguagesCase> {};

TEST_P(UserLanguagesTest, FollowTheEnvironment) {
    const auto& environment = GetParam().environment;
    EXPECT_EQ(UserLanguages([&](const char* name) -> const char* {
                  const auto found = environment.find(name);
                  return found == environment.end() ? nullptr : found->second.c_str();
              }),
              GetParam().languages);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, UserLanguagesTest,
    testing::Values(LanguagesCase{"Nothing", {}, {}},
                    LanguagesCase{"Lang", {{"LANG", "de_DE.UTF-8"}}, {L"de-DE"}},
                    LanguagesCase{"ModifierDropped", {{"LANG", "de_AT.ISO-8859-15@euro"}}, {L"de-AT"}},
                    LanguagesCase{"LanguageListFirst",
                                  {{"LANGUAGE", "fr_CA:fr::en"}, {"LANG", "de_DE.UTF-8"}},
                                  {L"fr-CA", L"fr", L"en", L"de-DE"}},
                    LanguagesCase{"LcAllOverLcMessagesOverLang",
                                  {{"LC_ALL", "pt_BR.UTF-8"}, {"LC_MESSAGES", "es_ES"}, {"LANG", "it_IT"}},
                                  {L"pt-BR"}},
                    LanguagesCase{"EmptyLcAllSkipped", {{"LC_ALL", ""}, {"LC_MESSAGES", "es_ES"}}, {L"es-ES"}},
                    LanguagesCase{"CAndPosixNameNone", {{"LANGUAGE", "POSIX"}, {"LANG", "C.UTF-8"}}, {}},
                    LanguagesCase{"RepeatsOnce", {{"LANGUAGE", "de-de:DE_DE"}, {"LANG", "de_DE"}}, {L"de-de"}},
                    LanguagesCase{"GarbageSkipped", {{"LANGUAGE", "x/y:_a:zh_Hant_TW"}}, {L"zh-Hant-TW"}}),
    [](const auto& info) { return info.param.name; });

TEST(ApplicabilityTest, LanguagesMatchByTagOrPrimaryLanguage) {
    EXPECT_TRUE(LanguageMatches(L"de-DE", L"DE-de"));
    EXPECT_TRUE(LanguageMatches(L"de", L"de-AT"));
    EXPECT_TRUE(LanguageMatches(L"de-DE", L"de"));
    EXPECT_FALSE(LanguageMatches(L"fr-CA", L"de-DE"));
    EXPECT_FALSE(LanguageMatches(L"d", L"de"));
}

BundledPackage Application(const std::wstring& architecture) {
    BundledPackage package;
    package.application = true;
    package.identity.architecture = architecture;
    return package;
}

BundledPackage Resource(std::vector<std::wstring> languages) {
    BundledPackage package;
    package.languages = std::move(languages);
    return package;
}

struct ChoiceCase {
    std::string name;
    std::wstring host;
    std::vector<BundledPackage> packages;
    std::vector<std::size_t> chosen;  // empty: refused with 0x80073D10
};

class BundleChoiceTest : public testing::TestWithParam<ChoiceCase> {};

TEST_P(BundleChoiceTest, ChoosesForHostAndLanguages) {
    BundleManifest manifest;
    manifest.packages = GetParam().packages;
    const std::vector<std::wstring> languages{L"de-AT", L"fr"};
    if (GetParam().chosen.empty()) {
        EXPECT_EQ(test_support::CodeOf([&] { ChooseBundlePackages(manifest, GetParam().host, languages); }),
                  ToHresult(0x80073D10));
    } else {
        EXPECT_EQ(ChooseBundlePackages(manifest, GetParam().host, languages), GetParam().chosen);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, BundleChoiceTest,
    testing::Values(
        ChoiceCase{"X64OverArm64AndNeutral", L"x64", {Application(L"neutral"), Application(L"arm64"), Application(L"x64")}, {2}},
        ChoiceCase{"X86OnX64OverNeutral", L"x64", {Application(L"neutral"), Application(L"x86")}, {1}},
        ChoiceCase{"NeutralWhenNothingElseFits", L"x64", {Application(L"arm64"), Application(L"neutral")}, {1}},
        ChoiceCase{"FirstAmongEquals", L"x64", {Application(L"x64"), Application(L"x64")}, {0}},
        ChoiceCase{"Arm64OverX86a64", L"arm64", {Application(L"x86a64"), Application(L"arm64")}, {1}},
        ChoiceCase{"X86NotOnArm64", L"arm64", {Application(L"x86"), Application(L"x64")}, {}},
        ChoiceCase{"NothingForUnknownHost", L"", {Application(L"x64")}, {}},
        ChoiceCase{"ResourcesForTheUsersLanguages", L"x64",
                   {Resource({L"it"}), Application(L"x64"), Resource({L"de-DE"}), Resource({L"en", L"fr-FR"}),
                    Resource({})},
                   {1, 2, 3}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local

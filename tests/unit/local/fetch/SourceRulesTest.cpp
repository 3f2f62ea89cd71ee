// Which sources the store may read from.
#include <gtest/gtest.h>

#include <string>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/fetch/SourceRules.h"
#include "tests/support/Raised.h"

namespace {

using platform::Uri;
using platform::deployment::local::CheckSource;
using platform::FromUtf8Lossy;
using test_support::FailureOf;

Uri MakeUri(const std::string& text) { return Uri(FromUtf8Lossy(text)); }

struct SourceCase {
    std::string name;
    std::string uri;
    bool allowed;
};

void PrintTo(const SourceCase& value, std::ostream* out) { *out << value.name; }

class SourceRulesTest : public testing::TestWithParam<SourceCase> {};

TEST_P(SourceRulesTest, AllowsOnlyLocalFilesHttpsAndLoopbackHttp) {
    const auto [code, text] = FailureOf([&] { CheckSource(MakeUri(GetParam().uri)); });
    if (GetParam().allowed) {
        EXPECT_EQ(code, 0) << platform::ToUtf8(text);
    } else {
        EXPECT_EQ(code, platform::kInvalidArgument);
        EXPECT_NE(text.find(FromUtf8Lossy(GetParam().uri)), std::wstring::npos) << "the text names the URI";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SourceRulesTest,
    testing::Values(SourceCase{"LocalFile", "file:///tmp/a.appinstaller", true},
                    SourceCase{"LocalhostFile", "file://localhost/tmp/a.appinstaller", true},
                    SourceCase{"RemoteFile", "file://server/share/a.appinstaller", false},
                    SourceCase{"Https", "https://example.com/release-app/AppPackage.appinstaller", true},
                    SourceCase{"HttpLoopbackV4", "http://127.0.0.1:8080/a.appinstaller", true},
                    SourceCase{"HttpLoopbackV4Range", "http://127.45.6.7/a.appinstaller", true},
                    SourceCase{"HttpLoopbackV6", "http://[::1]:8080/a.appinstaller", true},
                    SourceCase{"HttpLocalhost", "http://LocalHost/a.appinstaller", true},
                    SourceCase{"HttpRemote", "http://example.com/a.appinstaller", false},
                    SourceCase{"HttpPrivateAddress", "http://10.0.0.1/a.appinstaller", false},
                    SourceCase{"HttpLoopbackLookalike", "http://127.0.0.1.example.com/a.appinstaller", false},
                    SourceCase{"HttpLocalhostLookalike", "http://localhost.example.com/a.appinstaller", false},
                    SourceCase{"Ftp", "ftp://example.com/a.appinstaller", false},
                    SourceCase{"Mailto", "mailto:someone@example.com", false}),
    [](const testing::TestParamInfo<SourceCase>& info) { return info.param.name; });

}  // namespace

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "tests/support/Raised.h"

namespace {

using platform::Uri;
using test_support::CaptureFailure;

struct AcceptedCase {
    const char* name;
    std::wstring text;
    std::wstring scheme;
    std::wstring host;
    int port;
    std::wstring path;
    std::wstring query;
};

class UriAcceptsTest : public testing::TestWithParam<AcceptedCase> {};

TEST_P(UriAcceptsTest, SplitsTheParts) {
    const auto& param = GetParam();
    const Uri uri(param.text);
    EXPECT_EQ(uri.RawUri(), param.text);
    EXPECT_EQ(uri.SchemeName(), param.scheme);
    EXPECT_EQ(uri.Host(), param.host);
    EXPECT_EQ(uri.Port(), param.port);
    EXPECT_EQ(uri.Path(), param.path);
    EXPECT_EQ(uri.Query(), param.query);
}

INSTANTIATE_TEST_SUITE_P(
    Uri, UriAcceptsTest,
    testing::Values(
        AcceptedCase{"DefaultPublisher", L"https://example.com/release-app/AppPackage.appinstaller", L"https",
                     L"example.com", -1, L"/release-app/AppPackage.appinstaller", L""},
        AcceptedCase{"PortAndQuery", L"HTTPS://Downloads.Example.COM:8443/a/b.appinstaller?channel=beta&x=1#top",
                     L"https", L"downloads.example.com", 8443, L"/a/b.appinstaller", L"channel=beta&x=1"},
        AcceptedCase{"LoopbackHttp", L"http://127.0.0.1:8080/app.appinstaller", L"http", L"127.0.0.1", 8080,
                     L"/app.appinstaller", L""},
        AcceptedCase{"Ipv6Loopback", L"http://[::1]:80/x", L"http", L"::1", 80, L"/x", L""},
        AcceptedCase{"File", L"file:///tmp/pkg/AppPackage.appinstaller", L"file", L"", -1,
                     L"/tmp/pkg/AppPackage.appinstaller", L""},
        AcceptedCase{"NonAsciiPath", L"file:///tmp/caf\u00e9.appinstaller", L"file", L"", -1,
                     L"/tmp/caf\u00e9.appinstaller", L""},
        AcceptedCase{"NonAsciiHostAndQuery", L"https://b\u00fccher.example/\u4e2d\u6587?q=\u00e9", L"https",
                     L"b\u00fccher.example", -1, L"/\u4e2d\u6587", L"q=\u00e9"},
        AcceptedCase{"OutsideTheBasicPlane", L"https://example.com/\U0001F600", L"https", L"example.com", -1,
                     L"/\U0001F600", L""},
        AcceptedCase{"EscapesStayAsWritten", L"https://example.com/a%20b/%2F?x=%41", L"https", L"example.com", -1,
                     L"/a%20b/%2F", L"x=%41"},
        AcceptedCase{"NoPath", L"https://example.com", L"https", L"example.com", -1, L"", L""},
        AcceptedCase{"EmptyPort", L"https://example.com:/x", L"https", L"example.com", -1, L"/x", L""},
        AcceptedCase{"NoAuthority", L"urn:example:package", L"urn", L"", -1, L"example:package", L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Uri, AbsoluteUriEscapesNonAsciiAsUtf8) {
    EXPECT_EQ(Uri(L"file:///tmp/caf\u00e9.appinstaller").AbsoluteUri(), L"file:///tmp/caf%C3%A9.appinstaller");
    EXPECT_EQ(Uri(L"https://example.com/\U0001F600").AbsoluteUri(), L"https://example.com/%F0%9F%98%80");
    EXPECT_EQ(Uri(L"https://example.com/a%20b").AbsoluteUri(), L"https://example.com/a%20b");
}

struct RejectedCase {
    const char* name;
    std::wstring text;
    std::wstring description;
};

class UriRejectsTest : public testing::TestWithParam<RejectedCase> {};

TEST_P(UriRejectsTest, RaisesInvalidArgumentNamingTheText) {
    const auto error = CaptureFailure([&] { const Uri uri(GetParam().text); });
    ASSERT_TRUE(error.has_value()) << "accepted";
    EXPECT_EQ(error->Code(), platform::kInvalidArgument);
    ASSERT_TRUE(error->Info().has_value());
    EXPECT_EQ(error->Info()->code, platform::kInvalidArgument);
    EXPECT_EQ(error->Info()->restrictedDescription, GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Uri, UriRejectsTest,
    testing::Values(
        RejectedCase{"Empty", L"", L"The URI '' is empty."},
        RejectedCase{"RelativePath", L"abc", L"The URI 'abc' is not absolute."},
        RejectedCase{"RelativeFile", L"release-app/AppPackage.appinstaller",
                     L"The URI 'release-app/AppPackage.appinstaller' is not absolute."},
        RejectedCase{"NetworkPathReference", L"//example.com/a", L"The URI '//example.com/a' is not absolute."},
        RejectedCase{"Space", L"http://a b", L"The URI 'http://a b' is not valid at position 8."},
        RejectedCase{"PositionCountsCharactersNotBytes", L"https://\u00e9\u00e9/a b",
                     L"The URI 'https://\u00e9\u00e9/a b' is not valid at position 12."},
        RejectedCase{"WindowsPath", L"C:\\packages\\app.appinstaller",
                     L"The URI 'C:\\packages\\app.appinstaller' is not valid at position 2."},
        RejectedCase{"BadEscape", L"https://example.com/%zz", L"The URI 'https://example.com/%zz' is not valid at position 21."},
        RejectedCase{"PortOutOfRange", L"https://example.com:65536/", L"The URI 'https://example.com:65536/' is not valid at position 20."},
        RejectedCase{"LoneSurrogate", std::wstring(L"https://example.com/") + wchar_t(0xD800),
                     std::wstring(L"The URI 'https://example.com/") + wchar_t(0xD800) + L"' is not valid at position 20."},
        RejectedCase{"BeyondUnicode", std::wstring(L"https://x/") + wchar_t(0x110000),
                     std::wstring(L"The URI 'https://x/") + wchar_t(0x110000) + L"' is not valid at position 10."},
        // The text as a terminal may show it: control characters escaped.
        RejectedCase{"EmbeddedNul", std::wstring(L"https://x/a\0b", 13),
                     L"The URI 'https://x/a\\x00b' is not valid at position 11."},
        RejectedCase{"EscapeSequence", L"https://x/\x1b[2J\r\nAdd package completed",
                     L"The URI 'https://x/\\x1b[2J\\x0d\\x0aAdd package completed' is not valid at position 10."}),
    [](const auto& info) { return std::string(info.param.name); });

struct CombineCase {
    const char* name;
    std::wstring base;
    std::wstring reference;
    std::wstring combined;
};

class UriCombineTest : public testing::TestWithParam<CombineCase> {};

TEST_P(UriCombineTest, ResolvesTheReference) {
    const Uri base(GetParam().base);
    const Uri combined = base.CombineUri(GetParam().reference);
    EXPECT_EQ(combined.RawUri(), GetParam().combined);
    EXPECT_EQ(base.RawUri(), GetParam().base) << "the base is left as it was";
}

const std::wstring kBase = L"https://example.com/release-app/AppPackage.appinstaller?v=1";

INSTANTIATE_TEST_SUITE_P(
    Uri, UriCombineTest,
    testing::Values(
        CombineCase{"Sibling", kBase, L"App_1.0.0.0_x64.msix", L"https://example.com/release-app/App_1.0.0.0_x64.msix"},
        CombineCase{"Parent", kBase, L"../other/x.msix", L"https://example.com/other/x.msix"},
        CombineCase{"Root", kBase, L"/x.msix", L"https://example.com/x.msix"},
        CombineCase{"QueryOnly", kBase, L"?v=2", L"https://example.com/release-app/AppPackage.appinstaller?v=2"},
        CombineCase{"Empty", kBase, L"", L"https://example.com/release-app/AppPackage.appinstaller?v=1"},
        CombineCase{"NetworkPath", kBase, L"//cdn.example.net/p.msix", L"https://cdn.example.net/p.msix"},
        CombineCase{"Absolute", kBase, L"http://127.0.0.1:8080/p.msix", L"http://127.0.0.1:8080/p.msix"},
        CombineCase{"NonAsciiReference", L"file:///tmp/caf\u00e9/a.appinstaller", L"b\u00e9.msix",
                    L"file:///tmp/caf\u00e9/b\u00e9.msix"},
        CombineCase{"AsciiEscapesKept", L"https://example.com/a/", L"x%2Fy%20z.msix",
                    L"https://example.com/a/x%2Fy%20z.msix"},
        // Only escapes that together form a character become one; every other
        // escape is kept as written, the case of its digits included.
        CombineCase{"EscapedCharacterInLowerCase", L"https://example.com/a/", L"caf%c3%a9%F0%9F%93%A6.msix",
                    L"https://example.com/a/caf\u00e9\U0001F4E6.msix"},
        CombineCase{"EscapedBytesThatFormNoCharacterKept", L"https://example.com/a/",
                    L"%ff%C3%28%C0%AF%ED%a0%80%F4%90%80%80%E2%82.msix",
                    L"https://example.com/a/%ff%C3%28%C0%AF%ED%a0%80%F4%90%80%80%E2%82.msix"},
        CombineCase{"CharacterAfterAStrayContinuationByte", L"https://example.com/a/", L"%80%C3%A9%C3",
                    L"https://example.com/a/%80\u00e9%C3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Uri, CombineRejectsAMalformedReference) {
    const Uri base(kBase);
    const auto error = CaptureFailure([&] { base.CombineUri(L"a b"); });
    ASSERT_TRUE(error.has_value()) << "accepted";
    EXPECT_EQ(error->Code(), platform::kInvalidArgument);
    ASSERT_TRUE(error->Info().has_value());
    EXPECT_EQ(error->Info()->restrictedDescription, L"The URI 'a b' is not valid at position 1.");
}

TEST(Uri, CombinedPartsAreParsedAgain) {
    const Uri combined = Uri(L"https://example.com:444/a/b").CombineUri(L"c?d=e");
    EXPECT_EQ(combined.Host(), L"example.com");
    EXPECT_EQ(combined.Port(), 444);
    EXPECT_EQ(combined.Path(), L"/a/c");
    EXPECT_EQ(combined.Query(), L"d=e");
}

struct PercentDecodeCase {
    const char* name;
    std::string text;
    std::string decoded;
};

class PercentDecodeTest : public testing::TestWithParam<PercentDecodeCase> {};

TEST_P(PercentDecodeTest, DecodesEveryWellFormedEscapeAndKeepsTheRest) {
    EXPECT_EQ(platform::PercentDecode(GetParam().text), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Uri, PercentDecodeTest,
    testing::Values(PercentDecodeCase{"Empty", "", ""},
                    PercentDecodeCase{"EitherCase", "caf%c3%A9%2F%2f", "caf\xc3\xa9//"},
                    PercentDecodeCase{"PlusStays", "a+b%2B", "a+b+"},
                    PercentDecodeCase{"EscapedNulKept", "a%00b%00", std::string("a\0b\0", 4)},
                    PercentDecodeCase{"LiteralNulKept", std::string("a\0%41\0", 6), std::string("a\0A\0", 4)},
                    PercentDecodeCase{"BrokenEscapesStay", "%|%4|%G1|%4G|%", "%|%4|%G1|%4G|%"},
                    PercentDecodeCase{"PercentBeforeAnEscape", "%%41%4%42", "%A%4B"},
                    PercentDecodeCase{"LineBreaksUntouched", "%0D%0A%0A", "\r\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

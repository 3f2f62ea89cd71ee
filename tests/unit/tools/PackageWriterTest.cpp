// The package writer makes the tests' inputs, so its own faults matter.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tools/packaging/AppInstallerWriter.h"

namespace {

// A file it could not write must not look written (the AppInstaller file is
// small enough to sit in a buffer until the file is closed).
TEST(PackageWriterTest, ReportsAFileItCouldNotWrite) {
    packaging::AppInstallerContent installerFile;
    installerFile.uri = "file:///dev/full";
    installerFile.mainPackage = {{"Oru.Quillmark.Vantor.App.Release", "CN=Oru Quillmark", "1.0.0.0", "neutral", ""}, "p.appx"};
    EXPECT_THROW(packaging::WriteAppInstallerFile("/dev/full", installerFile), std::runtime_error);
}

}  // namespace

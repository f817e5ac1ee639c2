#include "update/runner_staging.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string ExtractionFailed =
    "The runner archive could not be extracted or does not contain run.exe.";

std::uint32_t Crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// Little-endian fields: (value, bytes) pairs.
void Put(std::string& out, std::initializer_list<std::pair<std::uint32_t, int>> fields) {
  for (const auto& [value, bytes] : fields) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  }
}

// A ZIP archive of uncompressed entries; names ending in '/' are directories.
void WriteZip(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string local;
  std::string central;
  for (const auto& [name, data] : entries) {
    const auto offset = static_cast<std::uint32_t>(local.size());
    const auto size = static_cast<std::uint32_t>(data.size());
    const auto nameSize = static_cast<std::uint32_t>(name.size());
    const std::uint32_t crc = Crc32(data);
    local += "PK\x03\x04";
    Put(local, {{20, 2}, {0, 2}, {0, 2}, {0, 4}, {crc, 4}, {size, 4}, {size, 4}, {nameSize, 2}, {0, 2}});
    local += name + data;
    central += "PK\x01\x02";
    Put(central, {{20, 2}, {20, 2}, {0, 4}, {0, 4}, {crc, 4}, {size, 4}, {size, 4}, {nameSize, 2},
                  {0, 4}, {0, 4}, {name.ends_with('/') ? 0x10u : 0u, 4}, {offset, 4}});
    central += name;
  }
  const auto count = static_cast<std::uint32_t>(entries.size());
  std::string end = "PK\x05\x06";
  Put(end, {{0, 4}, {count, 2}, {count, 2}, {static_cast<std::uint32_t>(central.size()), 4},
            {static_cast<std::uint32_t>(local.size()), 4}, {0, 2}});
  test::WriteBytes(path, local + central + end);
}

TEST(ExtractRunnerArchive, TarFirstThenPowerShellAndRunExeAtTheTop) {
  struct Case {
    const char* description;
    bool tar;
    bool tarFails;
    bool powerShell;
    bool runExeAtTop;
    bool extracted;
    bool powerShellUsed;
  };
  const Case cases[] = {
      {"tar extracts", true, false, true, true, true, false},
      {"no tar: PowerShell extracts", false, false, true, true, true, true},
      {"tar fails: PowerShell extracts", true, true, true, true, true, true},
      {"tar's result without run.exe at the top is final", true, false, true, false, false, false},
      {"tar fails, no PowerShell", true, true, false, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    // Quotes of either kind in the paths must reach PowerShell intact.
    const test::TempDir dir(L"O'Brien\u2019s runner");
    const fs::path system = dir / L"system32";
    const fs::path powerShellDir = system / L"WindowsPowerShell\\v1.0";
    fs::create_directories(powerShellDir);
    // tar.exe is the real bsdtar; PowerShell's stand-in extracts with it too.
    if (c.tar) fs::copy_file(test::StandinPath(L"tar.exe"), system / L"tar.exe");
    if (c.powerShell) {
      fs::copy_file(test::StandinPath(L"powershell.exe"), powerShellDir / L"powershell.exe");
      fs::copy_file(test::StandinPath(L"tar.exe"), powerShellDir / L"bsdtar.exe");
    }
    // An option bsdtar cannot apply makes it fail before reading the archive.
    const test::ScopedEnvironment tarFails(L"TAR_READER_OPTIONS",
                                           c.tarFails ? L"hdrcharset=NO-SUCH-CHARSET" : L"");
    const test::ScopedEnvironment powerShellLog(L"VORN_STANDIN_POWERSHELL_LOG",
                                                (dir / L"powershell.log").native());
    const std::string top = c.runExeAtTop ? "" : "Runner/";
    WriteZip(dir / L"VORNRunner.zip",
             {{top + "run.exe", "runner"}, {top + "lib/a.dll", "dll"}, {top + "empty/", ""}});
    test::RecordingSink sink;

    EXPECT_EQ(test::FailureOf([&] {
                ExtractRunnerArchive(dir / L"VORNRunner.zip", dir / L"Runner", system,
                                     ChildProcessTimeout, sink);
              }),
              c.extracted ? "no failure" : ExtractionFailed);

    EXPECT_EQ(PathExists(dir / L"powershell.log"), c.powerShellUsed);
    if (c.extracted) {
      EXPECT_EQ(test::ReadBytes(dir / L"Runner\\lib\\a.dll"), "dll");
      EXPECT_TRUE(fs::is_directory(dir / L"Runner\\empty"));
    }
    ASSERT_EQ(sink.steps.size(), c.extracted ? 2u : 1u);
    EXPECT_EQ(sink.steps[0].detail, L"VORNRunner.zip");
    EXPECT_EQ(sink.steps[0].done, 0u);
    EXPECT_EQ(sink.steps.back().detail, c.extracted ? L"Runner ready" : L"VORNRunner.zip");
    EXPECT_EQ(sink.steps.back().done, c.extracted ? 1u : 0u);
  }
}

TEST(ExtractRunnerArchive, WithoutASystemDirectoryNothingIsTried) {
  test::TempDir dir;
  test::RecordingSink sink;
  EXPECT_EQ(test::FailureOf([&] {
              ExtractRunnerArchive(dir / L"VORNRunner.zip", dir / L"Runner", std::nullopt,
                                   ChildProcessTimeout, sink);
            }),
            ExtractionFailed);
}

}  // namespace

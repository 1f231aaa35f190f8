// Reads the JUnit XML that GoogleTest wrote for a QA run (run-tests.cmd) and
// prints what QA reads first: the device key's kind, then one line counting
// the passed, failed and skipped cases. When the test program ended without
// a complete report (a crash, a hang ended by the user), it writes one that
// holds a single failed case in its place, so that a CI that collects the
// report sees the failure instead of a run with nothing in it.
//   qa_report <junit.xml> <exit code of guard_e2e_tests.exe>
// Exits with 0 only when no case failed, at least one passed, the device key
// case passed and the test program itself ended with 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
const char kKeySuite[] = "DeviceKeyOfThisMachine";

struct CaseCounts {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
};

struct KeyCase {
  bool ran = false;
  bool passed = false;
  std::string kind;
};

bool ReadWholeFile(const std::wstring& path, std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof(buffer), &read, nullptr) != FALSE) && read > 0) text.append(buffer, read);
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(file);
  return ok;
}

// GoogleTest escapes '"', '<' and '>' inside attribute values, so a value
// ends at the next quote and a start tag at the next '>'.
std::string Attribute(const std::string& tag, const char* name) {
  const std::string key = std::string(" ") + name + "=\"";
  size_t at = tag.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  size_t end = tag.find('"', at);
  return end == std::string::npos ? std::string() : tag.substr(at, end - at);
}

std::string Property(const std::string& body, const char* name) {
  const std::string key = std::string("<property name=\"") + name + "\" value=\"";
  size_t at = body.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  size_t end = body.find('"', at);
  return end == std::string::npos ? std::string() : body.substr(at, end - at);
}

// False when the text is no complete GoogleTest report.
bool CountCases(const std::string& xml, CaseCounts& counts, KeyCase& key) {
  if (xml.find("<testsuites") == std::string::npos || xml.find("</testsuites>") == std::string::npos) return false;
  size_t at = xml.find("<testcase ");
  while (at != std::string::npos) {
    size_t tagEnd = xml.find('>', at);
    if (tagEnd == std::string::npos) return false;
    const std::string tag = xml.substr(at, tagEnd - at);
    std::string body;
    size_t next = tagEnd + 1;
    if (tag.back() != '/') {
      size_t close = xml.find("</testcase>", tagEnd);
      if (close == std::string::npos) return false;
      body = xml.substr(tagEnd + 1, close - tagEnd - 1);
      next = close;
    }
    const bool failed = body.find("<failure") != std::string::npos;
    const bool skipped = !failed && (Attribute(tag, "result") == "skipped" || Attribute(tag, "status") == "notrun");
    if (failed)
      ++counts.failed;
    else if (skipped)
      ++counts.skipped;
    else
      ++counts.passed;
    if (Attribute(tag, "classname") == kKeySuite) {
      key.ran = !skipped;
      key.passed = !failed && !skipped;
      key.kind = Property(body, "device_key_kind");
    }
    at = xml.find("<testcase ", next);
  }
  return true;
}

std::string ExitCodeText(DWORD code) {
  char text[32];
  std::snprintf(text, sizeof(text), code > 255 ? "0x%08lX" : "%lu", static_cast<unsigned long>(code));
  return text;
}

// The report in place of a missing or cut-off one; what the test program
// left is kept beside it.
bool WriteReportOfAnIncompleteRun(const std::wstring& path, DWORD exitCode) {
  MoveFileExW(path.c_str(), (path + L".incomplete").c_str(), MOVEFILE_REPLACE_EXISTING);
  const std::string message =
      "guard_e2e_tests.exe ended with exit code " + ExitCodeText(exitCode) + " without a complete report";
  return WriteWholeFile(
      path,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<testsuites tests=\"1\" failures=\"1\" disabled=\"0\" errors=\"0\" name=\"AllTests\">\n"
      "  <testsuite name=\"QaRun\" tests=\"1\" failures=\"1\" disabled=\"0\" skipped=\"0\" errors=\"0\">\n"
      "    <testcase name=\"TestProgramWroteItsReport\" status=\"run\" result=\"completed\" classname=\"QaRun\">\n"
      "      <failure message=\"" + message + "\" type=\"\"/>\n"
      "    </testcase>\n"
      "  </testsuite>\n"
      "</testsuites>\n");
}

const char* ProviderName(const std::string& kind) {
  if (kind == "1") return "platform provider";
  if (kind == "2") return "software provider";
  return "unknown provider";
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qa_report <junit.xml> <exit code of guard_e2e_tests.exe>\n");
    return 2;
  }
  const std::wstring path = argv[1];
  // %ERRORLEVEL% is signed: a crash code such as 0xC0000005 arrives negative.
  const DWORD exitCode = static_cast<DWORD>(std::wcstoll(argv[2], nullptr, 10));

  std::string xml;
  CaseCounts counts;
  KeyCase key;
  if (!ReadWholeFile(path, xml) || !CountCases(xml, counts, key)) {
    if (!WriteReportOfAnIncompleteRun(path, exitCode)) {
      std::fprintf(stderr, "qa_report: cannot write %ls\n", path.c_str());
      return 2;
    }
    counts = CaseCounts{};
    counts.failed = 1;
    std::printf("device key: not checked (guard_e2e_tests.exe ended with exit code %s without a complete report)\n",
                ExitCodeText(exitCode).c_str());
  } else if (!key.ran) {
    std::printf("device key: not checked (no %s case ran)\n", kKeySuite);
  } else if (key.passed) {
    std::printf("device key kind %s: %s; a second process opened the same key\n", key.kind.c_str(),
                ProviderName(key.kind));
  } else {
    std::printf("device key%s%s: FAILED (%s in %ls)\n", key.kind.empty() ? "" : " kind ", key.kind.c_str(), kKeySuite,
                path.c_str());
  }
  if (counts.failed == 0 && exitCode != 0)
    std::printf("guard_e2e_tests.exe ended with exit code %s\n", ExitCodeText(exitCode).c_str());
  // The summary stays the last line.
  std::printf("%d passed, %d failed, %d skipped\n", counts.passed, counts.failed, counts.skipped);
  return counts.failed == 0 && counts.passed > 0 && key.passed && exitCode == 0 ? 0 : 1;
}

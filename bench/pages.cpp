// Renders the main window's pages without a display into PNG files of the folder given on the command
// line: terms, testing (download at 60 %), analysis, result (85432.1 and 9071.4 kbit/s), and the
// version, announcement, setup-guide and about pages. Prints name=value lines: the file of each page
// and the time its rendering took (milliseconds).

#include "ui/headless.h"
#include "ui/mainform.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>

namespace {

bool render(const std::string& folder, const char* name,
            const std::function<void(zelvo::FormModel&)>& build) {
  zelvo::TestRecord record;
  record.agreementText = "Terms of use";
  zelvo::FormModel form(record);
  form.startUp();
  const auto start = std::chrono::steady_clock::now();
  build(form);
  const zelvo::RgbaImage image = zelvo::renderForm(form);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  for (const auto& failure : form.takeLoadFailures())
    std::fprintf(stderr, "pages: %s: %s\n", name, failure.message.c_str());
  const std::string path = folder + "/" + name + ".png";
  if (!zelvo::writePng(path, image)) {
    std::fprintf(stderr, "pages: cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s_png=%s\n%s_build_render_ms=%.3f\n", name, path.c_str(), name, ms);
  return true;
}

void toTesting(zelvo::FormModel& form) {
  form.showTermsPage();
  form.onKeyPress('a');
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pages FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  mkdir(folder.c_str(), 0755);
  bool ok = true;
  ok &= render(folder, "connecting", [](zelvo::FormModel&) {});
  ok &= render(folder, "terms", [](zelvo::FormModel& f) { f.showTermsPage(); });
  ok &= render(folder, "testing", [](zelvo::FormModel& f) {
    toTesting(f);
    f.onProgress(1, 0);
    f.onProgress(1, 60);
  });
  ok &= render(folder, "analysis", [](zelvo::FormModel& f) {
    toTesting(f);
    f.onProgress(1, 0);
    f.onProgress(1, 100);
    f.onProgress(0, 0);
    f.onProgress(0, 100);
    f.onAnalysis(0.0);
  });
  ok &= render(folder, "result", [](zelvo::FormModel& f) {
    toTesting(f);
    f.record().downloadSpeed = 85432.1;
    f.record().uploadSpeed = 9071.4;
    f.record().resultSerial = "20261208-000123";
    f.record().resultTime = "2026/12/08 03:00:00";
    f.record().adUrl2 = "NULL";
    f.onResult(1, "http://127.0.0.1/result?id=123", 0.0);
  });
  ok &= render(folder, "version_blocked", [](zelvo::FormModel& f) { f.showVersionBlockedPage(); });
  ok &= render(folder, "version_outdated", [](zelvo::FormModel& f) { f.showVersionOutdatedPage(); });
  ok &= render(folder, "announcement", [](zelvo::FormModel& f) {
    f.record().announcementText = "Announcement";
    f.showTermsPage();
    f.onKeyPress('A');
  });
  ok &= render(folder, "setup_guide", [](zelvo::FormModel& f) {
    f.showTermsPage();
    f.onKeyPress('T');
  });
  ok &= render(folder, "about", [](zelvo::FormModel& f) {
    f.showTermsPage();
    f.onCopyrightClick();
  });
  return ok ? 0 : 1;
}

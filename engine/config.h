#pragma once
// The engine's built-in addresses, held as letter-pair text and decoded right before use.

#include <string>

namespace zelvo {

struct EngineConfig {
  std::string serviceDocumentUrl;
  std::string testDocumentUrl;
  std::string firstPrepareUrl;
  std::string secondPrepareUrl;
  std::string reportPostUrl;
  std::string noticeUrl;
  std::string fallbackFtpHost;

  // The values the program was built with.
  static EngineConfig BuiltIn();
  // Plain values (for tests and tools), encoded here as the program holds them.
  static EngineConfig FromPlain(const std::string& serviceDocumentUrl, const std::string& testDocumentUrl,
                                const std::string& firstPrepareUrl, const std::string& secondPrepareUrl,
                                const std::string& reportPostUrl, const std::string& noticeUrl,
                                const std::string& fallbackFtpHost);
};

// The window's built-in texts: message tables, settings-file name and probe hosts (letter pairs).
const char* BuiltInCaption(int code);
const char* BuiltInText(int code);
const char* BuiltInSettingsFileName();
const char* BuiltInPrimaryProbeHost();
const char* BuiltInAlternateProbeHost();

} // namespace zelvo

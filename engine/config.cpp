#include "engine/config.h"

#include "config/builtin_config.h"
#include "engine/document.h"
#include "engine/testrecord.h"

namespace zelvo {

EngineConfig EngineConfig::BuiltIn() {
  EngineConfig c;
  c.serviceDocumentUrl = builtin::serviceDocumentUrl;
  c.testDocumentUrl = builtin::testDocumentUrl;
  c.firstPrepareUrl = builtin::firstPrepareUrl;
  c.secondPrepareUrl = builtin::secondPrepareUrl;
  c.reportPostUrl = builtin::reportPostUrl;
  c.noticeUrl = builtin::noticeUrl;
  c.fallbackFtpHost = builtin::fallbackFtpHost;
  return c;
}

EngineConfig EngineConfig::FromPlain(const std::string& serviceDocumentUrl,
                                     const std::string& testDocumentUrl, const std::string& firstPrepareUrl,
                                     const std::string& secondPrepareUrl, const std::string& reportPostUrl,
                                     const std::string& noticeUrl, const std::string& fallbackFtpHost) {
  EngineConfig c;
  c.serviceDocumentUrl = encodeLetterPairs(serviceDocumentUrl);
  c.testDocumentUrl = encodeLetterPairs(testDocumentUrl);
  c.firstPrepareUrl = encodeLetterPairs(firstPrepareUrl);
  c.secondPrepareUrl = encodeLetterPairs(secondPrepareUrl);
  c.reportPostUrl = encodeLetterPairs(reportPostUrl);
  c.noticeUrl = encodeLetterPairs(noticeUrl);
  c.fallbackFtpHost = encodeLetterPairs(fallbackFtpHost);
  return c;
}

const char* BuiltInCaption(int code) {
  return code >= 0 && code < kErrorCodeCount ? builtin::captionTable[code] : "";
}
const char* BuiltInText(int code) {
  return code >= 0 && code < kErrorCodeCount ? builtin::textTable[code] : "";
}
const char* BuiltInSettingsFileName() {
  return builtin::settingsFileName;
}
const char* BuiltInPrimaryProbeHost() {
  return builtin::primaryProbeHost;
}
const char* BuiltInAlternateProbeHost() {
  return builtin::alternateProbeHost;
}

} // namespace zelvo

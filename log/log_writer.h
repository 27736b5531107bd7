// The log writer as the component sees it: an automation object of another library,
// created by its class identifier, whose WriteLog appends one message. The component
// never opens the log file itself.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dispatch.h"

namespace czqic {

// The log writer's dual interface: WriteLog is its first slot after IDispatch's.
class LogWriter : public virtual Object {
  public:
    // Appends the message with its tag to the file named by path; returns a status the
    // component stores and never interprets. A write that fails raises AutomationError.
    virtual int32_t WriteLog(const std::string& path, const std::string& message,
                             const std::string& tag) = 0;
};

inline constexpr const char* kLogWriterClsid = "{5B0F6C2E-3A71-4C8E-9D14-6E2A7F30B9C1}";
inline constexpr const char* kLogWriterProgId = "QorLog.LogWriter";
inline constexpr const char* kLogPath = "C:\\QUIRN\\pq\\log\\Qor.log";
inline constexpr const char* kLogTag = "Qor";

}  // namespace czqic

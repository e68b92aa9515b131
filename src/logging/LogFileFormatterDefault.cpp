#include "logging/LogFileFormatterDefault.h"

namespace quill {

LogFileFormatterDefault::LogFileFormatterDefault(std::shared_ptr<const LogDatePattern> dateFormatter)
    : dateFormatter_(std::move(dateFormatter)) {
    if (!dateFormatter_) dateFormatter_ = std::make_shared<const LogDatePattern>("yyyy/MM/dd HH:mm:ss:SSS");
}

LogText LogFileFormatterDefault::formatLogMessage(const LogMessage& message) {
    const std::string& text = *message.logMsg();
    std::string line;
    line.reserve(text.size() + 32);
    dateFormatter_->appendTo(line, message.timestamp());
    line += "  ";
    line += text;
    return makeLogText(std::move(line));
}

}  // namespace quill

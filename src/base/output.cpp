#include "base/output.h"

#include <utility>

#include "base/errors.h"

namespace quillex {
namespace {

constexpr std::size_t kFileBuffer = std::size_t{1} << 20;

}  // namespace

TextOut TextOut::ToStream(std::FILE* stream) {
  TextOut out;
  out.stream_ = stream;
  return out;
}

TextOut TextOut::Nowhere() {
  TextOut out;
  out.discard_ = true;
  return out;
}

Findings& NoFindings() {
  static Findings nobody;
  return nobody;
}

void Warn(RunOutput& out, std::string_view line) {
  out.Console.Line(line);
  out.Report->Warning(line);
}

void TextOut::AttachFile(platform::File file, std::string name) {
  buffer_.clear();
  discard_ = false;
  file_ = std::move(file);
  fileName_ = std::move(name);
}

void TextOut::Write(std::string_view text) {
  if (discard_) return;
  if (stream_ != nullptr) {
    if (auto st = platform::WriteText(stream_, text); !st.ok()) {
      throw IoFailure("cannot write to the console: " + st.Reason());
    }
    return;
  }
  buffer_.append(text);
  if (file_.IsOpen() && buffer_.size() >= kFileBuffer) Flush();
}

void TextOut::Line(std::string_view text) {
  if (discard_) return;
  if (stream_ != nullptr) {
    std::string line(text);
    line += "\r\n";
    Write(line);
    return;
  }
  buffer_.append(text);
  buffer_.append("\r\n");
  if (file_.IsOpen() && buffer_.size() >= kFileBuffer) Flush();
}

void Fatal(TextOut& console, std::string_view line) {
  console.Line(line);
  throw FatalStop{.What = FatalStop::Kind::Refused, .Line = std::string(line)};
}

void FatalIo(TextOut& console, std::string_view line) {
  console.Line(line);
  throw FatalStop{.What = FatalStop::Kind::InputOutput, .Line = std::string(line)};
}

void TextOut::Flush() {
  platform::Status status = platform::WriteAll(file_, buffer_.data(), buffer_.size());
  if (!status.ok()) throw IoFailure("cannot write " + fileName_ + ": " + status.Reason());
  buffer_.clear();
}

void TextOut::Close() {
  if (!file_.IsOpen()) return;
  Flush();
  platform::Status status = platform::Close(file_);
  if (!status.ok()) throw IoFailure("cannot close " + fileName_ + ": " + status.Reason());
}

void TextOut::CloseQuietly() noexcept {
  if (!file_.IsOpen()) return;
  (void)platform::WriteAll(file_, buffer_.data(), buffer_.size());
  buffer_.clear();
  (void)platform::Close(file_);
}

}  // namespace quillex

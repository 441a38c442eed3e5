// JSON text of the public records, written straight into a string or a
// stream without building a document first, so that a whole track list
// streams out in constant memory. Keys are the record field names in record
// order; numbers are numbers; text is UTF-8 (invalid sequences become
// U+FFFD); byte strings, 8-byte holders and images are lower-case
// hexadecimal.
#ifndef CADENZA_DB_RECORD_JSON_H_
#define CADENZA_DB_RECORD_JSON_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/records.h"

namespace cadenza {

struct JsonOptions {
  bool images = true;  // include the header and chunk images
  int indent = -1;     // spaces per nesting level; -1 writes one line
};

// Writes JSON values, placing the commas, and with an indent the line
// breaks, the way common JSON libraries print them.
class JsonWriter {
 public:
  // Appends to `out`.
  explicit JsonWriter(std::string& out, int indent = -1) : out_(&out), indent_(indent) {}
  // Writes to `sink` in pieces as the text grows (and when destroyed).
  explicit JsonWriter(std::ostream& sink, int indent = -1)
      : out_(&buf_), sink_(&sink), indent_(indent) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  ~JsonWriter() { Flush(); }

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The key of the next value of the open object.
  void Key(std::string_view name);
  void Number(int64_t v);
  void Bool(bool v);
  void String(std::string_view utf8);
  void Hex(std::string_view bytes);  // as a string of hexadecimal digits
  // Hands the text written so far to the sink.
  void Flush();

 private:
  void BeforeValue();
  void NewLine();
  void Open(char c);
  void Close(char c);

  std::string buf_;
  std::string* out_;
  std::ostream* sink_ = nullptr;
  int indent_;
  std::vector<bool> empty_;  // per open object or array: nothing in it yet
  bool after_key_ = false;
};

void WriteJson(JsonWriter& j, const MHBD& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHSD_T& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHSD_P& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHSD_A& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHIT& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHOD_S& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const MHYP& r, const JsonOptions& o);
void WriteJson(JsonWriter& j, const TrackInfo& r, const JsonOptions& o);

// One record's JSON object appended to `out`, or written to `os`.
template <typename Record>
void AppendJson(std::string& out, const Record& r, const JsonOptions& o) {
  JsonWriter j(out, o.indent);
  WriteJson(j, r, o);
}
template <typename Record>
void StreamJson(std::ostream& os, const Record& r, const JsonOptions& o) {
  JsonWriter j(os, o.indent);
  WriteJson(j, r, o);
}

// Bytes as lower-case hexadecimal digits.
std::string Hex(std::string_view bytes);

}  // namespace cadenza

#endif  // CADENZA_DB_RECORD_JSON_H_

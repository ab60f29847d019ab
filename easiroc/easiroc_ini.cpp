// The board configuration file: 34 unsigned decimal values, white space and
// "#" comments.
#include <cctype>
#include <cstdio>
#include <mutex>
#include <string>

#include "easiroc.h"
#include "platform.h"

using namespace easiroc;

namespace {

std::string excerpt(const std::string& text, std::size_t pos) {
  std::size_t end = text.find_first_of("\r\n", pos);
  std::string s = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  if (s.size() > 40) s = s.substr(0, 40) + "...";
  return s;
}

}  // namespace

namespace {

bool read_whole_file(const char* iniFile, std::string& text) {
  std::FILE* f = std::fopen(iniFile, "rb");
  if (!f) {
    con_printf("easiroc::LoadIni() cannot open file %s !!!\n", iniFile);
    return false;
  }
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) con_printf("easiroc::LoadIni() error reading file %s !!!\n", iniFile);
  return !readError;
}

// Values, white space and whole-line comments; anything else refuses the file.
class IniParser {
 public:
  IniParser(const char* file, const std::string& text) : file_(file), text_(text) {}

  // False (after saying where) when the file holds something else.
  bool parse() {
    while (i_ < text_.size()) {
      const unsigned char c = static_cast<unsigned char>(text_[i_]);
      if (std::isspace(c)) {
        if (c == '\n') ++line_;
        if (afterComment_) indentedSinceComment_ = true;
        ++i_;
      } else if (c == '#') {
        skip_comment();
      } else if (std::isdigit(c)) {
        if (!take_number()) return false;
      } else {
        con_printf("easiroc::LoadIni() %s line %d: unexpected text \"%s\" (neither a number, "
                   "white space nor a comment); file not loaded, configuration unchanged\n",
                   file_, line_, excerpt(text_, i_).c_str());
        return false;
      }
    }
    return true;
  }

  unsigned int values[EASIROC_INI_VALUES] = {};
  int count = 0;

 private:
  bool ends_token(std::size_t at) const {
    return at >= text_.size() || std::isspace(static_cast<unsigned char>(text_[at])) ||
           text_[at] == '#';
  }

  void skip_comment() {
    if (afterComment_ && indentedSinceComment_)
      con_printf("easiroc::LoadIni() %s line %d: comment after white space; older loaders "
                 "counted it as a value, here it takes no position\n",
                 file_, line_);
    // The whole line goes, however long, including its line end.
    const std::size_t eol = text_.find('\n', i_);
    if (eol == std::string::npos) {
      i_ = text_.size();
    } else {
      i_ = eol + 1;
      ++line_;
    }
    afterComment_ = true;
    indentedSinceComment_ = false;
  }

  bool take_number() {
    const std::size_t start = i_;
    unsigned long long v = 0;
    bool tooBig = false;
    while (i_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[i_]))) {
      v = v * 10 + unsigned(text_[i_] - '0');
      if (v > 0xFFFFFFFFull) tooBig = true;
      ++i_;
    }
    if (tooBig || !ends_token(i_)) {
      while (!ends_token(i_)) ++i_;
      con_printf("easiroc::LoadIni() %s line %d: \"%s\" is not a value from 0 to 4294967295; "
                 "file not loaded, configuration unchanged\n",
                 file_, line_, text_.substr(start, i_ - start).c_str());
      return false;
    }
    if (count < EASIROC_INI_VALUES) {
      values[count++] = static_cast<unsigned int>(v);
    } else {
      if (extra_ == 0)
        con_printf("easiroc::LoadIni() %s line %d: more than %d values; value %llu and any "
                   "after it ignored\n",
                   file_, line_, EASIROC_INI_VALUES, v);
      ++extra_;
    }
    afterComment_ = false;
    indentedSinceComment_ = false;
    return true;
  }

  const char* file_;
  const std::string& text_;
  std::size_t i_ = 0;
  int line_ = 1;
  int extra_ = 0;
  bool afterComment_ = true;  // file start or just after a comment line
  bool indentedSinceComment_ = false;
};

}  // namespace

// The whole file is checked before the table is touched: a file with stray
// text is reported and leaves the table as it was, so the board is never
// configured from half a file.
int easiroc_LoadIni(const char* iniFile) {
  std::string text;
  if (!read_whole_file(iniFile, text)) return 0;
  IniParser parser(iniFile, text);
  if (!parser.parse()) return 0;
  ConfigTable& table = board().config;
  for (int k = 0; k < parser.count; ++k) table.iniData[k] = parser.values[k];
  std::lock_guard lk(table.sourceMu);
  table.sourcePath = iniFile;
  table.sourceText = std::move(text);
  return 1;
}

void easiroc_ini_source(std::string* path, std::string* text) {
  std::lock_guard lk(board().config.sourceMu);
  if (path) *path = board().config.sourcePath;
  if (text) *text = board().config.sourceText;
}

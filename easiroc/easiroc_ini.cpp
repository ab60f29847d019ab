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

// The whole file is checked before the table is touched: a file with stray
// text is reported and leaves the table as it was, so the board is never
// configured from half a file.
int easiroc_LoadIni(const char* iniFile) {
  std::FILE* f = std::fopen(iniFile, "rb");
  if (!f) {
    con_printf("easiroc::LoadIni() cannot open file %s !!!\n", iniFile);
    return 0;
  }
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) {
    con_printf("easiroc::LoadIni() error reading file %s !!!\n", iniFile);
    return 0;
  }

  unsigned int values[EASIROC_INI_VALUES];
  int count = 0;
  int extra = 0;
  int line = 1;
  bool afterComment = true;    // file start or just after a comment line
  bool indentedSinceComment = false;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      if (afterComment) indentedSinceComment = true;
      ++i;
    } else if (std::isspace(c)) {
      if (afterComment) indentedSinceComment = true;
      ++i;
    } else if (c == '#') {
      if (afterComment && indentedSinceComment)
        con_printf("easiroc::LoadIni() %s line %d: comment after white space; older loaders "
                   "counted it as a value, here it takes no position\n",
                   iniFile, line);
      // The whole line goes, however long, including its line end.
      std::size_t eol = text.find('\n', i);
      if (eol == std::string::npos) {
        i = n;
      } else {
        i = eol + 1;
        ++line;
      }
      afterComment = true;
      indentedSinceComment = false;
    } else if (std::isdigit(c)) {
      std::size_t start = i;
      unsigned long long v = 0;
      bool tooBig = false;
      while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
        v = v * 10 + unsigned(text[i] - '0');
        if (v > 0xFFFFFFFFull) tooBig = true;
        ++i;
      }
      bool badEnd = i < n && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '#';
      if (tooBig || badEnd) {
        while (i < n && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '#') ++i;
        con_printf("easiroc::LoadIni() %s line %d: \"%s\" is not a value from 0 to 4294967295; "
                   "file not loaded, configuration unchanged\n",
                   iniFile, line, text.substr(start, i - start).c_str());
        return 0;
      }
      if (count < EASIROC_INI_VALUES) {
        values[count++] = static_cast<unsigned int>(v);
      } else {
        if (extra == 0)
          con_printf("easiroc::LoadIni() %s line %d: more than %d values; value %llu and any "
                     "after it ignored\n",
                     iniFile, line, EASIROC_INI_VALUES, v);
        ++extra;
      }
      afterComment = false;
      indentedSinceComment = false;
    } else {
      con_printf("easiroc::LoadIni() %s line %d: unexpected text \"%s\" (neither a number, white "
                 "space nor a comment); file not loaded, configuration unchanged\n",
                 iniFile, line, excerpt(text, i).c_str());
      return 0;
    }
  }
  for (int k = 0; k < count; ++k) board().config.iniData[k] = values[k];
  std::lock_guard lk(board().config.sourceMu);
  board().config.sourcePath = iniFile;
  board().config.sourceText = std::move(text);
  return 1;
}

void easiroc_ini_source(std::string* path, std::string* text) {
  std::lock_guard lk(board().config.sourceMu);
  if (path) *path = board().config.sourcePath;
  if (text) *text = board().config.sourceText;
}

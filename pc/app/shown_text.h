// How the wizard's texts are shown to a person: on the terminal, in
// Velmora.exe's windows and in the support log. Texts carry what the gateway
// and the kit said (versions, page texts, problems, file names), and those
// may hold any byte; each place that writes for a person passes its text
// through ShownText, so that no control character of theirs reaches a
// terminal or a window raw (an escape sequence would retitle or clear the
// terminal, a carriage return would write over a line).
#ifndef VELMORA_APP_SHOWN_TEXT_H
#define VELMORA_APP_SHOWN_TEXT_H

#include <string>

namespace velmora {

// Which line ends are the text's own.
enum class LineEnds {
  kCrLf,  // page texts: CR LF only (a lone CR or LF came from elsewhere)
  kLf,    // a console front end's own texts: LF, and CR LF
  kNone,  // one line of a log
};

// `text` with every control character other than the line ends kept
// (C0, DEL, and C1 both as UTF-8 and as single bytes) written as "\xHH",
// one escape per byte. Valid UTF-8 and other bytes stay as they are.
std::string ShownText(const std::string &text, LineEnds keep);

}  // namespace velmora

#endif

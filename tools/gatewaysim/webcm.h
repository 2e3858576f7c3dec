// The simulated configuration CGI `webcm`: pages generated from the running
// configuration, form posts applied to it.
#ifndef GATEWAYSIM_WEBCM_H
#define GATEWAYSIM_WEBCM_H

#include <string>
#include <vector>

#include "state.h"

namespace gwsim {

// The CGI response (header lines, empty line, body) for a GET whose query
// string is `query` ("getpage=../html/qorn.html&var:conname=...").
std::string webcm_page(const Settings &running, const Settings &firmware, const std::string &query);

// One name=value pair of a posted form, decoded.
struct FormField {
  std::string name;
  std::string value;
  bool has_value;  // false for a bare command such as "logic:command/save"
};

// Splits an urlencoded body as every web server does: fields at "&", name
// and value at the first "=", then "+" and "%XX" decoded in both.
std::vector<FormField> parse_form(const std::string &body);

// What a post asked for beyond changing settings.
struct PostEffects {
  bool saved = false;
  bool reboot = false;
  bool stopped = false;
};

// Applies the fields to the running configuration; "logic:command/save"
// copies it to `saved`.
PostEffects apply_form(const std::vector<FormField> &fields, Settings *running, Settings *saved);

// The CGI: reads the environment and the body, logs the request, answers.
int webcm_main(const SimDir &d);

}  // namespace gwsim

#endif

#include "webcm.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cctype>

namespace gwsim {

namespace {

// A value inside a double-quoted attribute, as a browser reads it back.
std::string html_attr(const std::string &v) {
  std::string out;
  for (char c : v) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

// A form element as the gateway's pages write it: name, value, id, in this
// order, which is what the PC's readers rely on.
std::string input(const Settings &s, const std::string &name) {
  std::string id = "uiPost";
  bool up = true;
  for (char c : name) {
    if (c == '_') {
      up = true;
      continue;
    }
    id += up ? (char)toupper((unsigned char)c) : c;
    up = false;
  }
  if (name == "ap_enabled") id = "uiPostAPEnabled";  // the marker the PC looks for
  return "<input type=\"hidden\" name=\"ap:settings/" + name + "\" value=\"" +
         html_attr(s.get("ap/" + name)) + "\" id=\"" + id + "\">\n";
}

std::string page_head(const std::string &title) {
  return "Content-type: text/html\n\n"
         "<html><head><title>Kestrelon " + title + "</title></head>\n<body>\n"
         "<h1>Kestrelon DSL Gateway</h1>\n<form name=\"uiPostForm\" method=\"post\" "
         "action=\"webcm\">\n";
}

const char kTail[] = "</form>\n</body></html>\n";

std::string query_value(const std::string &query, const std::string &name) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string part = query.substr(pos, amp - pos);
    if (part.compare(0, name.size() + 1, name + "=") == 0) return part.substr(name.size() + 1);
    pos = amp + 1;
  }
  return "";
}

std::string url_decode(const std::string &in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < in.size() && isxdigit((unsigned char)in[i + 1]) &&
               isxdigit((unsigned char)in[i + 2])) {
      out += (char)strtol(in.substr(i + 1, 2).c_str(), nullptr, 16);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> split_words(const std::string &s) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t b = s.find_first_not_of(" \t", pos);
    if (b == std::string::npos) return out;
    size_t e = s.find_first_of(" \t", b);
    out.push_back(s.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (e == std::string::npos) return out;
    pos = e;
  }
}

}  // namespace

std::string webcm_page(const Settings &running, const Settings &firmware, const std::string &query) {
  std::string page = query_value(query, "getpage");
  size_t slash = page.rfind('/');
  std::string name = slash == std::string::npos ? page : page.substr(slash + 1);
  const Settings &s = running;
  std::string out;

  if (name.empty() || name == "index.html") {
    out = page_head("Home") + "<p>Welcome.</p>\n" + kTail;
  } else if (name == "qorn.html") {
    out = page_head("Connections") + "<script>\nvar con_cnt = 0;\n"
          "con_name[con_cnt] = \"" + s.get("conname") + "\";\n"
          "con_type[con_cnt] = \"" + s.get("contype") + "\";\ncon_cnt++;\n</script>\n" + kTail;
  } else if (name == "status_real.html") {
    out = page_head("Status") + "<script>\n"
          "form.sta_version.value = \"" + firmware.get("version") + "\";\n"
          "form.sta_connection.value = \"" + s.get("connection") + "\";\n</script>\n" + kTail;
  } else if (name == "conn.inf") {
    out = "Content-type: text/plain\n\nconname=" + s.get("conname") + "\ntype=" + s.get("contype") +
          "\nstatus=" + s.get("connection") + "\n";
  } else if (name == "custom_setup_ssid.html") {
    out = page_head("Wireless") + input(s, "ap_enabled") + input(s, "channel") + input(s, "ssid") +
          input(s, "privacy_type") + input(s, "interval") + input(s, "psktype") +
          input(s, "wep_auth_type") + input(s, "wep_privacy") + kTail;
  } else if (name == "custom_setup_wep.html") {
    out = page_head("WEP") + input(s, "privacy_type") + input(s, "wep_privacy") +
          input(s, "wep_auth_type") + input(s, "key_id");
    for (int i = 1; i <= 4; ++i)
      out += input(s, "key_value" + std::to_string(i)) + input(s, "key_len" + std::to_string(i));
    out += kTail;
  } else if (name == "custom_setup_8021x.html" || name == "custom_setup_wpa.html") {
    bool wpa = name == "custom_setup_wpa.html";
    out = page_head(wpa ? "WPA" : "802.1x") + input(s, "ap_enabled") + input(s, "privacy_type") +
          input(s, "wep_privacy") + input(s, "radius_ip") + input(s, "radius_port") +
          input(s, "radius_secret") + input(s, "interval");
    if (wpa) out += input(s, "psktype") + input(s, "pskvalue");
    out += kTail;
  } else if (name == "custom_setup_apadv.html") {
    out = page_head("Advanced") + input(s, "bgmode") + input(s, "hidden_ssid") + kTail;
  } else if (name == "custom_setup_access.html") {
    // The list comes before the access type: a reader stops at the type.
    out = page_head("Access list") + "<script>\nvar list_init = new Array();\nvar i = 0;\n";
    for (const std::string &mac : split_words(s.get("ap/access_list")))
      out += "list_init[i++]='" + mac + "';\n";
    out += "</script>\n" + input(s, "access_type") + kTail;
  } else {
    out = "Status: 404 Not Found\nContent-type: text/html\n\n<html><body>Page not found: " + page +
          "</body></html>\n";
  }
  return out;
}

std::vector<FormField> parse_form(const std::string &body) {
  std::vector<FormField> fields;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string::npos) amp = body.size();
    std::string seg = body.substr(pos, amp - pos);
    pos = amp + 1;
    if (seg.empty()) continue;
    size_t eq = seg.find('=');
    FormField f;
    f.has_value = eq != std::string::npos;
    f.name = url_decode(f.has_value ? seg.substr(0, eq) : seg);
    f.value = f.has_value ? url_decode(seg.substr(eq + 1)) : "";
    fields.push_back(f);
  }
  return fields;
}

PostEffects apply_form(const std::vector<FormField> &fields, Settings *running, Settings *saved) {
  PostEffects fx;
  static const std::string ap = "ap:settings/";
  for (const FormField &f : fields) {
    if (f.name == "logic:command/save") {
      fx.saved = true;
    } else if (f.name == "logic:command/reboot") {
      fx.reboot = true;
    } else if (f.name == "logic:command/stop_module") {
      running->set("connection", "stopped");
      fx.stopped = true;
    } else if (f.name == "ap:settings/mac_add") {
      std::vector<std::string> macs = split_words(running->get("ap/access_list"));
      bool present = false;
      for (const auto &m : macs) present = present || m == f.value;
      if (!present && !f.value.empty())
        running->set("ap/access_list", running->get("ap/access_list").empty()
                                           ? f.value
                                           : running->get("ap/access_list") + " " + f.value);
    } else if (f.name.compare(0, ap.size(), ap) == 0 && f.has_value) {
      std::string key = f.name.substr(ap.size());
      std::string value = f.value;
      // The gateway drops the blanks the PC puts in front of short WEP keys.
      if (key.compare(0, 9, "key_value") == 0) {
        size_t first = value.find_first_not_of(' ');
        value.erase(0, first == std::string::npos ? value.size() : first);
      }
      running->set("ap/" + key, value);
    }
  }
  // Saving happens after the rest of the form has been applied.
  if (fx.saved) *saved = *running;
  return fx;
}

int webcm_main(const SimDir &d) {
  const char *method = getenv("REQUEST_METHOD");
  const char *uri = getenv("REQUEST_URI");
  const char *query = getenv("QUERY_STRING");
  std::string m = method ? method : "";
  std::string body;
  if (m == "POST") {
    const char *cl = getenv("CONTENT_LENGTH");
    long want = cl ? atol(cl) : 0;
    char buf[4096];
    while ((long)body.size() < want) {
      size_t chunk = sizeof buf;
      if ((long)chunk > want - (long)body.size()) chunk = (size_t)(want - (long)body.size());
      ssize_t n = read(0, buf, chunk);
      if (n <= 0) break;
      body.append(buf, (size_t)n);
    }
  }
  log_request(d, "webcm", m + " " + (uri ? uri : "/cgi-bin/webcm") + (m == "POST" ? " body=" + body : ""));

  DirLock lock(d);
  Settings firmware, running, saved;
  firmware.load(d.firmware());
  running.load(d.state());
  saved.load(d.saved());

  std::string out;
  if (m == "POST") {
    PostEffects fx = apply_form(parse_form(body), &running, &saved);
    running.save(d.state());
    if (fx.saved) {
      saved.save(d.saved());
      log_request(d, "webcm", "configuration saved");
    }
    if (fx.reboot) {
      FILE *f = fopen(d.reboot_request().c_str(), "a");
      if (f != nullptr) {
        fputs("webcm\n", f);
        fclose(f);
      }
      log_request(d, "webcm", "reboot requested");
    }
    if (fx.stopped) log_request(d, "webcm", "connection module stopped");
    out = page_head("Settings") + "<p>Settings applied.</p>\n" + kTail;
  } else if (m == "GET" || m == "HEAD") {
    out = webcm_page(running, firmware, query ? query : "");
  } else {
    out = "Status: 405 Method Not Allowed\nContent-type: text/plain\n\nmethod not allowed\n";
  }
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
  return 0;
}

}  // namespace gwsim

#include "result.h"

namespace {

#define GWC_RESULT_ROW(name, code, meaning, what, todo) {code, #name, meaning, what, todo},
const gwc_result_info kResults[] = {GWC_RESULT_LIST(GWC_RESULT_ROW)};
#undef GWC_RESULT_ROW

}  // namespace

const gwc_result_info *gwc_result_find(int code) {
  for (const gwc_result_info &r : kResults)
    if (r.code == code) return &r;
  return nullptr;
}

const gwc_result_info *gwc_result_table(size_t *count) {
  *count = sizeof kResults / sizeof kResults[0];
  return kResults;
}

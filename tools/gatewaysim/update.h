// The simulated upgrade service behind port 8080 ("cgi-bin/update"), which
// takes the image of a two-step upgrade.
#ifndef GATEWAYSIM_UPDATE_H
#define GATEWAYSIM_UPDATE_H

#include <string>

#include "state.h"

namespace gwsim {

// The file part of a multipart body: false when there is none. A body cut
// short (no closing delimiter) yields what arrived.
bool multipart_file(const std::string &body, const std::string &boundary, std::string *filename,
                    std::string *data);

// Checks the image's tag and writes it, without the tag, to the partition its
// first word names (a kernel bigger than the kernel partition is split over
// kernel and file system). Empty on success, else why it was refused.
std::string write_image(const SimDir &d, const std::string &image);

// The CGI. Config "update_answer": "successful" (verify and write; "failed"
// for a bad image), "failed" (always), "silent" (no verdict at all).
int update_main(const SimDir &d);

}  // namespace gwsim

#endif

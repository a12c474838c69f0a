// Access to job records for the exports: validation and text fields.
#pragma once

#include <string>

#include "vek/vek.h"

namespace vek::api {

// A job handle the library handed out and has not freed yet.
bool JobValid(const VekJob* job);
void ResetVekRec(VekJob& job);
std::string GetShortStr(const VekShortStr& s);
void SetShortStr(VekShortStr& s, const char* text);

}  // namespace vek::api

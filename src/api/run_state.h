// Process-wide state of the run in progress, shared by the run and source exports.
#pragma once

#include "engine/conversion_loop.h"
#include "image/image.h"
#include "vek/vek.h"

namespace vek::api {

struct RunData {
  VekJob* job = nullptr;                 // the job whose VekConvert is active
  VekProgressProc progress = nullptr;    // its progress hook, taken at the start
  char* video_name = nullptr;            // tracked copies of the source names
  char* audio_name = nullptr;
  QImg source_image{};                   // the one image handed over directly
  int32_t stop_group = 0;                // the error the host chose to stop the run on
  int32_t stop_code = 0;
  int32_t asked_group = 0;               // the last error the host was asked about and
  int32_t asked_code = 0;                //   did not answer to go on past
  bool histogram_palette = false;        // the palette pass uses the histogram quantiser
};

RunData& Run();

// The four callbacks the loop calls; they reach the job through Run().
void VideoSourceCallback(QSrcRequest* request);
void AudioSourceCallback(QSrcRequest* request);
void VideoFuncCallback(QFuncRequest* request);
void AudioFuncCallback(QFuncRequest* request);

// Frees the name copies and the source image (end of every run).
void FreeSourceData();

// The request of the running source callback, or null outside one.
QSrcRequest* ActiveRequest(VekJob* job);

}  // namespace vek::api

// The audio thread: configures the sound device, builds the sine table for
// the granted rate and writes frames for as long as the process lives.
#pragma once

void* audio_thread_main(void*);

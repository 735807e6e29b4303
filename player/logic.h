// Main-thread rules that work on the sliders' adjustments and the toolkit's
// timers, but need no display: the fader, the Quit logic and the sequence
// stepper.
#pragma once

typedef int gint;
typedef void* gpointer;

// Volume fader.
gint fade_tick(gpointer data);
void quit_clicked();
void start_fade_timer();   // replaces any running fade tick
void stop_fade_timer();    // except the exit fade-out
// Ends the process; tests put their own function here.
extern void (*exit_player)(int status);

typedef struct _GtkAdjustment GtkAdjustment;

// The sliders' "value_changed" handlers: the parameter is upper - value.
void slider_changed(GtkAdjustment* adjustment, gpointer parameter);
void slider_label_changed(GtkAdjustment* adjustment, gpointer label);

// Setting a parameter through its slider's mirrored adjustment.
void set_beat(double beat);
void set_base(double base);
void set_volume(double volume);

// Sequence stepper.
int open_sequence(const char* path);
int stop_sequence();
void sequence_step();
gint clock_tick(gpointer data);
void format_step_time(int seconds, char* text, unsigned size);

// Shows the play or pause picture for the playing state.
void show_pause_state();

// The control window: the GTK glue around the player's state.
#pragma once

#include <gtk/gtk.h>
#include <string>

GtkWidget* create_main_window();
GtkWidget* build_main_window(GtkWidget* window);

void play_clicked();
void file_selected(GtkWidget* ok_button, gpointer dialog);
void show_help();
GtkWidget* create_help_window(const char* text);
extern const char* const help_text_body;
// The README that the help text names, as a file:// address.
std::string readme_address();

void build_color_box(int width, int height);
void offset_changed(GtkAdjustment* adjustment, gpointer offset);
gint color_tick(gpointer data);

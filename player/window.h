// The control window: the GTK glue around the player's state.
#pragma once

#include <gtk/gtk.h>

GtkWidget* create_main_window();
GtkWidget* build_main_window(GtkWidget* window);

void play_clicked();
void file_selected(GtkWidget* ok_button, gpointer dialog);
void show_help();

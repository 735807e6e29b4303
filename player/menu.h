// The main window's right-click menu: the collection by title, the sleep
// timer. Built in one place, afresh at each click, so it always shows the
// collection and the timer as they are.
#pragma once

#include <gtk/gtk.h>
#include <string>
#include <vector>

// Pops the menu up on a right click anywhere in the window.
void attach_context_menu(GtkWidget* window);
GtkWidget* build_context_menu();

// The directories the Sequences submenu lists: the shared collection and
// ~/.ambrise.
std::vector<std::string> collection_dirs();

#include "menu.h"

#include <cstdlib>

#include "actions.h"
#include "background_choice.h"
#include "catalog.h"
#include "logic.h"
#include "options.h"

namespace {

constexpr int sleep_choices[] = {15, 30, 45, 60, 90};

// Menu items are rebuilt each time: the path lives as long as its item.
void sequence_chosen(GtkMenuItem* item, gpointer) {
    auto* path = static_cast<const char*>(g_object_get_data(G_OBJECT(item), "path"));
    if (path && start_sequence(path)) sequence_step();
}

void sleep_chosen(GtkMenuItem*, gpointer minutes) { set_sleep_timer(GPOINTER_TO_INT(minutes)); }
void sleep_cancelled(GtkMenuItem*, gpointer) { cancel_sleep_timer(); }

void background_file_answered(GtkDialog* dialog, gint response, gpointer) {
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            choose_background_file(path);
            g_free(path);
        }
    }
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void background_file_asked(GtkMenuItem*, gpointer) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Background sound", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                                                    GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN,
                                                    GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    // On the last file chosen, else the home directory.
    const std::string& current = user_background().path;
    if (!current.empty())
        gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), current.c_str());
    else
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), g_get_home_dir());
    g_signal_connect(dialog, "response", G_CALLBACK(background_file_answered), nullptr);
    gtk_widget_show(dialog);
}

void background_level_chosen(GtkCheckMenuItem* item, gpointer level) {
    if (gtk_check_menu_item_get_active(item)) choose_background_level(GPOINTER_TO_INT(level));
}

void background_cleared(GtkMenuItem*, gpointer) { clear_background(); }

GtkWidget* append(GtkWidget* menu, const char* label, GCallback handler, gpointer data) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    if (handler) g_signal_connect(item, "activate", handler, data);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show(item);
    return item;
}

void append_separator(GtkWidget* menu) {
    GtkWidget* s = gtk_separator_menu_item_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), s);
    gtk_widget_show(s);
}

GtkWidget* sequences_menu() {
    GtkWidget* menu = gtk_menu_new();
    auto entries = desk::list_collection(collection_dirs());
    for (const desk::Entry& e : entries) {
        GtkWidget* item = append(menu, desk::entry_label(e).c_str(), G_CALLBACK(sequence_chosen), nullptr);
        g_object_set_data_full(G_OBJECT(item), "path", g_strdup(e.path.c_str()), g_free);
    }
    if (entries.empty()) gtk_widget_set_sensitive(append(menu, "(no sequences)", nullptr, nullptr), FALSE);
    return menu;
}

void destroy_when_hidden(GtkWidget* menu, gpointer) {
    // Destroyed once its item has run: the selection-done signal comes
    // before the item's activate, which an idle callback lets pass.
    g_idle_add([](gpointer m) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(m));
        return FALSE;
    }, menu);
}

gboolean button_pressed(GtkWidget*, GdkEventButton* event, gpointer) {
    if (event->type != GDK_BUTTON_PRESS || event->button != 3) return FALSE;
    GtkWidget* menu = build_context_menu();
    g_signal_connect(menu, "selection-done", G_CALLBACK(destroy_when_hidden), nullptr);
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, event->button, event->time);
    return TRUE;
}

}  // namespace

std::vector<std::string> collection_dirs() {
    std::vector<std::string> dirs{shared_sequence_dir};
    // Run from its build tree without a collection, the tree's examples
    // stand in for it, as in the file dialog.
    std::string pattern = dialog_pattern();
    if (pattern.rfind("~/", 0) != 0) dirs[0] = pattern.substr(0, pattern.size() - std::string("/*.seq").size());
    const char* home = std::getenv("HOME");
    if (home && *home) dirs.push_back(std::string(home) + "/.ambrise");
    return dirs;
}

GtkWidget* build_context_menu() {
    GtkWidget* menu = gtk_menu_new();
    GtkWidget* sequences = append(menu, "Sequences", nullptr, nullptr);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(sequences), sequences_menu());
    append_separator(menu);
    for (int minutes : sleep_choices) {
        std::string label = "Sleep in " + std::to_string(minutes) + " minutes";
        append(menu, label.c_str(), G_CALLBACK(sleep_chosen), GINT_TO_POINTER(minutes));
    }
    GtkWidget* cancel = append(menu, "Cancel sleep timer", G_CALLBACK(sleep_cancelled), nullptr);
    gtk_widget_set_sensitive(cancel, sleep_timer_active());
    append_separator(menu);
    append(menu, "Background sound\u2026", G_CALLBACK(background_file_asked), nullptr);
    // The user's level, shown as chosen; picking one sets it for the file.
    GSList* group = nullptr;
    for (int level : background_levels) {
        GtkWidget* item = gtk_radio_menu_item_new_with_label(group, std::to_string(level).c_str());
        group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
        if (level == user_background().level) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
        g_signal_connect(item, "toggled", G_CALLBACK(background_level_chosen), GINT_TO_POINTER(level));
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
        gtk_widget_show(item);
    }
    GtkWidget* none = append(menu, "No background", G_CALLBACK(background_cleared), nullptr);
    gtk_widget_set_sensitive(none, !user_background().path.empty());
    return menu;
}

void attach_context_menu(GtkWidget* window) {
    gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(window, "button-press-event", G_CALLBACK(button_pressed), nullptr);
}

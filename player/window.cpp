#include "window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions.h"
#include "colorbox.h"
#include "logic.h"
#include "menu.h"
#include "options.h"
#include "session.h"
#include "state.h"

#include "dot_icon.xpm"
#include "idle_icon.xpm"
#include "logo_image.xpm"
#include "paused_icon.xpm"
#include "playing_icon.xpm"
#include "stop_icon.xpm"

namespace {

gboolean delete_event(GtkWidget*, GdkEvent*, gpointer) {
    g_print("delete event occured\n");
    return TRUE;
}

void destroy(GtkWidget*, gpointer) { gtk_main_quit(); }

void stop_pressed() { window_stop(); }

// Connects a handler in the toolkit's plain-function style.
void connect(gpointer object, const char* signal, GCallback handler, gpointer data) {
    gtk_signal_connect_full(GTK_OBJECT(object), signal, GTK_SIGNAL_FUNC(handler), nullptr, data, nullptr, FALSE,
                            FALSE);
}

void connect_swapped_destroy(gpointer object, const char* signal, GtkWidget* target) {
    gtk_signal_connect_full(GTK_OBJECT(object), signal, GTK_SIGNAL_FUNC(gtk_widget_destroy), nullptr, target,
                            nullptr, TRUE, FALSE);
}

Icon make_icon(GtkWidget* window, GdkColor* transparent, const char* const* xpm) {
    Icon icon;
    icon.pixmap = gdk_pixmap_create_from_xpm_d(window->window, &icon.mask, transparent, const_cast<gchar**>(xpm));
    return icon;
}

GtkWidget* icon_widget(const Icon& icon) { return gtk_pixmap_new(icon.pixmap, icon.mask); }

// The main window, for placing the color box beside it.
GtkWidget* main_window = nullptr;

void set_main_title(const char* title) {
    if (main_window) gtk_window_set_title(GTK_WINDOW(main_window), title);
}

void present_main_window() {
    if (main_window) gtk_window_present(GTK_WINDOW(main_window));
}

// Pixels of knob travel each parameter slider gets: one pixel is then about
// 4 Hz of base and 0.17 Hz of beat.
constexpr int slider_travel = 240;

// Asks for a scale tall enough that its knob travels `travel` pixels,
// whatever the theme's knob and trough sizes.
void request_travel(GtkWidget* scale, int travel) {
    gint knob = 0, trough = 0, focus_width = 0, focus_padding = 0;
    gtk_widget_style_get(scale, "slider-length", &knob, "trough-border", &trough, "focus-line-width", &focus_width,
                         "focus-padding", &focus_padding, nullptr);
    gtk_widget_set_size_request(scale, -1, travel + knob + 2 * (trough + focus_width + focus_padding));
}

void attach(GtkWidget* table, GtkWidget* w, guint left, guint right, guint top, guint bottom) {
    gtk_table_attach_defaults(GTK_TABLE(table), w, left, right, top, bottom);
    gtk_widget_show(w);
}

GtkWidget* label(GtkWidget* table, const char* text, guint left, guint right, guint top, guint bottom) {
    GtkWidget* l = gtk_label_new(text);
    attach(table, l, left, right, top, bottom);
    return l;
}

GtkWidget* icon_button(const Icon& icon) {
    GtkWidget* b = gtk_button_new();
    GtkWidget* image = icon_widget(icon);
    gtk_container_add(GTK_CONTAINER(b), image);
    gtk_widget_show(image);
    return b;
}

// One parameter column: value label, mirrored vertical slider, caption.
GtkAdjustment* slider_column(GtkWidget* table, guint column, const char* text, const char* caption, double value,
                             double lower, double upper, double step, double page, std::atomic<double>* parameter,
                             GtkWidget** label_out, GtkWidget** slider_out) {
    GtkWidget* value_label = label(table, text, column, column + 1, 1, 2);
    auto* adj = GTK_ADJUSTMENT(gtk_adjustment_new(value, lower, upper, step, page, 0));
    connect(adj, "value_changed", G_CALLBACK(slider_changed), parameter);
    connect(adj, "value_changed", G_CALLBACK(slider_label_changed), value_label);
    GtkWidget* slider = gtk_vscale_new(adj);
    gtk_scale_set_draw_value(GTK_SCALE(slider), FALSE);
    request_travel(slider, slider_travel);
    attach(table, slider, column, column + 1, 2, 6);
    label(table, caption, column, column + 1, 6, 7);
    if (label_out) *label_out = value_label;
    if (slider_out) *slider_out = slider;
    return adj;
}

}  // namespace

GtkWidget* create_main_window() {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_wmclass(GTK_WINDOW(window), "ambrise", "Ambrise");
    connect(window, "delete_event", G_CALLBACK(delete_event), nullptr);
    connect(window, "destroy", G_CALLBACK(destroy), nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(window), 10);
    gtk_window_set_title(GTK_WINDOW(window), window_title().c_str());
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    // The pictures are made for the window's own drawable, which exists once
    // it is realized; it is shown only with its content, so that it is
    // centred at its full size.
    gtk_widget_realize(window);
    gtk_container_add(GTK_CONTAINER(window), build_main_window(window));
    attach_context_menu(window);
    gtk_widget_show(window);
    main_window = window;
    desktop_set_title = set_main_title;
    desktop.raise = present_main_window;
    return window;
}

GtkWidget* build_main_window(GtkWidget* window) {
    GtkStyle* style = gtk_widget_get_style(window);
    GdkColor* transparent = &style->bg[GTK_STATE_NORMAL];

    GtkWidget* table = gtk_table_new(9, 6, FALSE);
    gtk_table_set_col_spacing(GTK_TABLE(table), 0, 5);
    gtk_table_set_col_spacing(GTK_TABLE(table), 1, 5);

    GtkWidget* logo = icon_button(make_icon(window, transparent, logo_image));
    gtk_button_set_relief(GTK_BUTTON(logo), GTK_RELIEF_NONE);
    connect(logo, "clicked", G_CALLBACK(show_help), nullptr);
    attach(table, logo, 0, 7, 0, 1);

    player.clock_label = label(table, "00:00:00", 2, 4, 1, 2);
    label(table, "Time", 2, 4, 2, 3);
    player.step_label = label(table, "00:00:00", 2, 4, 3, 4);
    label(table, "Time in Freq", 2, 4, 4, 5);

    GtkWidget* transport = gtk_hbox_new(FALSE, 0);
    GtkWidget* dot = icon_button(make_icon(window, transparent, dot_icon));
    GtkWidget* stop = icon_button(make_icon(window, transparent, stop_icon));
    connect(stop, "clicked", G_CALLBACK(stop_pressed), nullptr);
    player.idle_icon = make_icon(window, transparent, idle_icon);
    GtkWidget* play = gtk_button_new();
    player.play_image = icon_widget(player.idle_icon);
    gtk_container_add(GTK_CONTAINER(play), player.play_image);
    gtk_widget_show(player.play_image);
    connect(play, "clicked", G_CALLBACK(play_clicked), nullptr);
    for (GtkWidget* b : {dot, stop, play}) {
        gtk_box_pack_start(GTK_BOX(transport), b, FALSE, FALSE, 0);
        gtk_widget_show(b);
    }
    // The tall sliders make row 5 high: the buttons keep their own height.
    GtkWidget* transport_cell = gtk_alignment_new(0.0f, 0.5f, 1.0f, 0.0f);
    gtk_container_add(GTK_CONTAINER(transport_cell), transport);
    gtk_widget_show(transport);
    attach(table, transport_cell, 2, 4, 5, 6);

    player.playing_icon = make_icon(window, transparent, playing_icon);
    player.paused_icon = make_icon(window, transparent, paused_icon);

    GtkWidget* quit = gtk_button_new_with_label("Quit");
    connect(quit, "clicked", G_CALLBACK(quit_clicked), nullptr);
    attach(table, quit, 2, 4, 6, 7);

    player.beat_adjustment = slider_column(table, 0, "10.0", "Beat", 30, 0, 40, 0.1, 0.1, &player.beat_hz,
                                           &player.beat_label, &player.beat_slider);
    player.base_adjustment = slider_column(table, 1, "300.0", "Base", 700, 50, 1000, 1, 10, &player.base_hz,
                                           &player.base_label, &player.base_slider);
    GtkWidget* volume_slider = nullptr;
    player.volume_adjustment = slider_column(table, 5, "50.0", "Vol", 100 - player.volume.load(relaxed), 0, 100, 1,
                                             10, &player.volume, &player.volume_label, &volume_slider);

    if (player.colorbox_width && player.colorbox_height) {
        player.offset_adjustment = GTK_ADJUSTMENT(gtk_adjustment_new(0, -0.5, 0.5, 0.01, 0.1, 0));
        connect(player.offset_adjustment, "value_changed", G_CALLBACK(offset_changed), &player.color_offset);
        player.offset_slider = gtk_hscale_new(player.offset_adjustment);
        gtk_scale_set_digits(GTK_SCALE(player.offset_slider), 2);
        attach(table, player.offset_slider, 0, 6, 7, 8);
    }

    gtk_widget_show(table);
    return table;
}

void file_selected(GtkWidget*, gpointer dialog) {
    const gchar* name = gtk_file_selection_get_filename(GTK_FILE_SELECTION(dialog));
    // Several dialogs can be open: a file chosen while a sequence plays
    // replaces it, closing the old file first.
    std::string path = name ? name : "";
    start_sequence(path.c_str());
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void play_clicked() {
    if (window_play()) return;
    GtkWidget* dialog = gtk_file_selection_new("File selection");
    GtkFileSelection* fs = GTK_FILE_SELECTION(dialog);
    gtk_file_selection_hide_fileop_buttons(fs);
    connect(fs->ok_button, "clicked", G_CALLBACK(file_selected), dialog);
    connect_swapped_destroy(fs->cancel_button, "clicked", dialog);
    std::string pattern = dialog_pattern();
    gtk_file_selection_set_filename(fs, pattern.c_str());
    gtk_file_selection_complete(fs, pattern.c_str());
    gtk_widget_show(dialog);
}

// ---- color box ----

namespace {

void color_box_destroyed(GtkWidget*, gpointer) {
    if (player.color_timer) gtk_timeout_remove(player.color_timer);
    player.color_timer = 0;
}

GdkColor gdk_color(const BoxColor& c) {
    GdkColor g;
    g.pixel = c.pixel;
    g.red = c.red;
    g.green = c.green;
    g.blue = c.blue;
    return g;
}

// The monitor under the pointer, where the toolkit centres a window.
GdkRectangle screen_area() {
    GdkScreen* screen = gdk_screen_get_default();
    gint x = 0, y = 0;
    gdk_display_get_pointer(gdk_screen_get_display(screen), nullptr, &x, &y, nullptr);
    GdkRectangle area;
    gdk_screen_get_monitor_geometry(screen, gdk_screen_get_monitor_at_point(screen, x, y), &area);
    return area;
}

// Puts the color box beside the centred main window, right or left, with a
// gap for the window frames. If neither side has room but both windows fit
// side by side, the pair is centred instead; failing that the box goes to
// the screen's right edge. Vertically the box is centred on the main window.
void place_beside_main_window(GtkWidget* box, int width, int height) {
    if (!main_window) return;
    constexpr int gap = 20;
    GdkRectangle s = screen_area();
    GtkRequisition main;
    gtk_widget_size_request(main_window, &main);
    int mx = s.x + (s.width - main.width) / 2;
    int my = s.y + (s.height - main.height) / 2;
    int x;
    if (mx + main.width + gap + width <= s.x + s.width) {
        x = mx + main.width + gap;
    } else if (mx - gap - width >= s.x) {
        x = mx - gap - width;
    } else if (main.width + gap + width <= s.width) {
        mx = s.x + (s.width - main.width - gap - width) / 2;
        gtk_window_move(GTK_WINDOW(main_window), mx, my);
        x = mx + main.width + gap;
    } else {
        x = s.x + s.width - width;
    }
    int y = std::clamp(my + (main.height - height) / 2, s.y, std::max(s.y, s.y + s.height - height));
    gtk_window_move(GTK_WINDOW(box), x, y);
}

}  // namespace

void build_color_box(int width, int height) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    connect(window, "destroy", G_CALLBACK(color_box_destroyed), nullptr);
    // Never larger than the screen (the window system refuses sizes beyond
    // it), never less than a pixel.
    GdkRectangle screen = screen_area();
    width = std::clamp(width, 1, screen.width);
    height = std::clamp(height, 1, screen.height);
    player.box_button = gtk_button_new();
    gtk_widget_set_usize(player.box_button, width, height);
    GtkStyle* style = gtk_style_copy(gtk_widget_get_style(player.box_button));
    GdkColor color = gdk_color(player.box_color);
    style->fg[GTK_STATE_NORMAL] = color;
    style->bg[GTK_STATE_NORMAL] = color;
    gtk_widget_set_style(player.box_button, style);
    g_object_unref(style);   // the button holds its own reference
    gtk_widget_set_sensitive(player.box_button, FALSE);
    gtk_widget_show(player.box_button);
    gtk_container_add(GTK_CONTAINER(window), player.box_button);
    // Sized by its content and placed before it is shown: a window shown
    // empty keeps the toolkit's default size.
    place_beside_main_window(window, width, height);
    gtk_widget_show(window);
}

void offset_changed(GtkAdjustment* adjustment, gpointer offset) {
    *static_cast<double*>(offset) = gtk_adjustment_get_value(adjustment);
}

gint color_tick(gpointer) {
    Rgb rgb = color_for_distance(shown_distance(player.color_offset));
    player.box_color.red = rgb.red;
    player.box_color.green = rgb.green;
    player.box_color.blue = rgb.blue;
    if (!player.box_button) return TRUE;
    GdkColor color = gdk_color(player.box_color);
    GtkStyle* style = gtk_style_copy(gtk_widget_get_style(player.box_button));
    style->fg[GTK_STATE_INSENSITIVE] = color;
    style->bg[GTK_STATE_INSENSITIVE] = color;
    gtk_widget_set_style(player.box_button, style);
    // The button now holds the only reference; the style it replaced is
    // released, so styles never pile up however long the box runs.
    g_object_unref(style);
    gtk_widget_queue_draw(player.box_button);
    return TRUE;
}

// ---- help window ----

const char* const help_text_body =
    "Ambrise is a program to alter your brain waves through sound in order to help you to reach an altered "
    "state of consciousness. Full details are available at";

std::string readme_address() {
    // Installed, the program sits in PREFIX/bin and its README in
    // PREFIX/share/doc; run from the build, the tree's README is the one.
    std::string readme = AMBRISE_SOURCE_README;
    if (char* exe = g_file_read_link("/proc/self/exe", nullptr)) {
        gchar* bin = g_path_get_dirname(exe);
        gchar* prefix = g_path_get_dirname(bin);
        gchar* installed = g_build_filename(prefix, AMBRISE_DOC_RELATIVE, nullptr);
        if (g_file_test(installed, G_FILE_TEST_IS_REGULAR)) readme = installed;
        g_free(installed);
        g_free(prefix);
        g_free(bin);
        g_free(exe);
    }
    gchar* uri = g_filename_to_uri(readme.c_str(), nullptr, nullptr);
    std::string address = uri ? uri : "file://" + readme;
    g_free(uri);
    return address;
}

GtkWidget* create_help_window(const char* text) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_object_set_data(GTK_OBJECT(window), "HelpWindow", window);
    gtk_window_set_title(GTK_WINDOW(window), "Ambrise Help");
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    gtk_window_set_policy(GTK_WINDOW(window), TRUE, TRUE, FALSE);
    // Wide enough to read; word wrapping alone would make a narrow column.
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 150);

    GtkWidget* vbox = gtk_vbox_new(FALSE, 0);
    gtk_object_set_data(GTK_OBJECT(window), "vbox1", vbox);
    gtk_widget_show(vbox);
    gtk_container_add(GTK_CONTAINER(window), vbox);

    GtkWidget* view = gtk_text_view_new();
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    GtkTextIter start;
    gtk_text_buffer_get_iter_at_offset(buffer, &start, 0);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(view), 6);
    gtk_text_view_set_right_margin(GTK_TEXT_VIEW(view), 6);
    gtk_object_set_data(GTK_OBJECT(window), "help_text", view);
    gtk_widget_show(view);
    gtk_box_pack_start(GTK_BOX(vbox), view, TRUE, TRUE, 6);
    GTK_WIDGET_UNSET_FLAGS(view, GTK_CAN_FOCUS);
    gtk_widget_realize(view);
    // An address that ends the text gets a line of its own that is never
    // wrapped: word wrapping would still break it after a '/'. The view
    // then asks for the address's width.
    const char* last_space = std::strrchr(text, ' ');
    if (last_space && std::strstr(last_space, "://")) {
        gtk_text_buffer_insert(buffer, &start, text, static_cast<gint>(last_space - text));
        gtk_text_buffer_insert(buffer, &start, "\n", 1);
        GtkTextTag* whole = gtk_text_buffer_create_tag(buffer, nullptr, "wrap-mode", GTK_WRAP_NONE, nullptr);
        gtk_text_buffer_insert_with_tags(buffer, &start, last_space + 1, -1, whole, nullptr);
    } else {
        gtk_text_buffer_insert(buffer, &start, text, static_cast<gint>(std::strlen(text)));
    }

    GtkWidget* close = gtk_button_new_with_label("Close");
    gtk_object_set_data(GTK_OBJECT(window), "HelpQuit", close);
    gtk_widget_show(close);
    gtk_box_pack_start(GTK_BOX(vbox), close, FALSE, FALSE, 0);
    connect_swapped_destroy(close, "clicked", window);
    // The text view claims every focus move although it cannot take the
    // focus, so Tab would never get past it: the box's chain leaves it out.
    GList* chain = g_list_append(nullptr, close);
    gtk_container_set_focus_chain(GTK_CONTAINER(vbox), chain);
    g_list_free(chain);
    return window;
}

void show_help() {
    std::string text = std::string(help_text_body) + " " + readme_address();
    gtk_widget_show(create_help_window(text.c_str()));
}

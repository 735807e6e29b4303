// ambrise: the interactive binaural-beat player.
#include <cstdio>
#include <cstdlib>
#include <gtk/gtk.h>
#include <pthread.h>

#include "audio.h"
#include "background_choice.h"
#include "logic.h"
#include "actions.h"
#include "gain.h"
#include "options.h"
#include "session.h"
#include "state.h"
#include "window.h"

int main(int argc, char** argv) {
    // Without a display the usage text is still given; anything else needs
    // the window.
    bool display = gtk_init_check(&argc, &argv);

    Options options = parse_options(argc, argv, player.harmonics.load(relaxed));
    player.colorbox_width = options.colorbox_width;
    player.colorbox_height = options.colorbox_height;
    player.harmonics.store(options.harmonics, relaxed);
    player.hq = options.hq;
    if (options.result == Options::Help) {
        print_usage(stdout, argv[0]);
        std::exit(0);
    }
    if (options.result == Options::LongHelp) {
        print_help(stdout, argv[0]);
        std::exit(0);
    }
    if (options.result == Options::Version) {
        std::puts("ambrise " AMBRISE_VERSION);
        std::exit(0);
    }
    if (options.result == Options::Unknown) {
        std::fprintf(stderr, "%s: unknown option %s\n", argv[0], options.unknown);
        print_usage(stderr, argv[0]);
        std::exit(1);
    }

    if (options.result == Options::BadTimer) {
        std::fprintf(stderr, "%s: -timer wants minutes above 0 and at most %g, not '%s'\n", argv[0],
                     desk::max_timer_minutes, options.unknown);
        print_usage(stderr, argv[0]);
        std::exit(1);
    }

    if (options.result == Options::NoBackground) {
        std::fprintf(stderr, "%s: -background wants the path of a sound file\n", argv[0]);
        print_usage(stderr, argv[0]);
        std::exit(1);
    }

    if (!display) {
        std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        std::exit(1);
    }

    make_user_dir();
    create_main_window();
    bool color_box = player.colorbox_width && player.colorbox_height;
    if (color_box) build_color_box(player.colorbox_width, player.colorbox_height);

    if (options.background) choose_background_file(options.background);

    pthread_t audio;
    if (pthread_create(&audio, nullptr, audio_thread_main, nullptr) != 0)
        std::fputs("cannot start the audio thread\n", stderr);
    else
        pthread_setname_np(audio, "ambrise-audio");

    gtk_timeout_add(1000, clock_tick, player.step_label);
    player.fade_timer = gtk_timeout_add(10, fade_tick, player.step_label);
    if (color_box) player.color_timer = gtk_timeout_add(10, color_tick, player.step_label);

    desktop_start({options.sequence, options.timer_minutes, options.inhibit});
    if (options.sequence && start_sequence(options.sequence)) sequence_step();

    gtk_main();
    return 0;
}

// The sequences of the collection, by what they are for: each one's title
// (its first note line) and its length in the player.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace desk {

// The first line that is no command, trimmed of comment markers and
// spaces; empty when the file has none within its first lines.
std::string sequence_title(std::FILE* in);

// The title of the sequence at `path`, or its file name without ".seq".
std::string title_of(const std::string& path);

// The player's length of a sequence in seconds, as the checker counts it;
// -1 when the file cannot be read as a sequence.
std::int64_t sequence_player_seconds(const char* path);

struct Entry {
    std::string path;
    std::string title;
    std::int64_t seconds = -1;
};

// The regular *.seq files of the directories, each file once (by its
// real path), sorted by title; at most `limit` of them.
std::vector<Entry> list_collection(const std::vector<std::string>& dirs, std::size_t limit = 200);

// "Title (00:19:36)", or the title alone without a length.
std::string entry_label(const Entry& e);

// Opens a regular file for reading without blocking on a FIFO; null for
// anything else.
std::FILE* open_regular(const char* path);

}  // namespace desk

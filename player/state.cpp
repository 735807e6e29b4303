#include "state.h"

PlayerState player;

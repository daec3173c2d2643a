// The real platform under the switch sound player.
#pragma once

#include "sound_player.h"

namespace lumivane {
extern const SoundPlatform kWin32SoundPlatform;
}

// Identifiers shared by the resource script and the code that loads the resources.
#pragma once

// The application icon: the lowest identifier, so it is also the icon of kelvo.exe itself.
#define KELVO_ICON 1

#pragma once
// The media objects' name for the platform's self-clearing PROPVARIANT.
#include "platform/mf/PropVariantT.h"

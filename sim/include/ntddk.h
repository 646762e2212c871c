#pragma once
#include "ntifs.h"

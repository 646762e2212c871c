// Filter Manager communication ports (part of fltKernel.h).
#pragma once

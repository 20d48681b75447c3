// The gateway's version, defined once by the build (CMake's project version).
#pragma once

#ifndef ORVEL_VERSION
#error "the build defines ORVEL_VERSION"
#endif

constexpr char ORVEL_BANNER[] = "ORVEL V" ORVEL_VERSION;
constexpr char ORVEL_VERSION_TEXT[] = ORVEL_VERSION;

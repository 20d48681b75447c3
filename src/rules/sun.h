// Sunrise, sunset and the sun's elevation from the usual solar position
// equations (the NOAA solar calculator's: mean longitude and anomaly, the
// equation of centre, obliquity with nutation, the equation of time), for a
// place given as latitude (north positive) and longitude (east positive) in
// degrees. Rise and set are the moments the sun's upper limb meets the
// horizon with standard refraction: a centre 0.833 degrees below it. Within a
// minute of the almanac up to 60 degrees of latitude.
#pragma once
#include <ctime>

constexpr double SUN_HORIZON_DEG = -0.833;  // elevation of the centre at rise and set

enum sun_kind : signed char {
  SUN_RISES = 0,         // a normal day: rise and set are set
  SUN_ALWAYS_UP = 1,     // polar day: no sunrise, no sunset
  SUN_ALWAYS_DOWN = -1,  // polar night: no sunrise, no sunset
};

struct sun_day {
  sun_kind kind;
  time_t noon;  // the sun's transit (always set)
  time_t rise;  // Unix seconds; only for SUN_RISES
  time_t set;
};

// The sun's day of the calendar date year-month-day (month 1-12) at a place:
// the events around the transit nearest to the place's mean noon (12:00 UTC
// less longitude/15 hours), so that the date is the local date in any time
// zone that follows its longitude. A sunset may fall on the next UTC date.
sun_day sun_times(int year, int month, int day, double lat, double lon);
// The sun centre's elevation in degrees at `t` (refraction not included).
double sun_elevation(time_t t, double lat, double lon);
// True while the sun is up at `t`: between rise and set by the same measure.
bool sun_up(time_t t, double lat, double lon);
// Days from 1970-01-01 to the civil date (proleptic Gregorian).
long sun_days_from_civil(int year, int month, int day);

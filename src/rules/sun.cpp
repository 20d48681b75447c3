// Solar position, rise and set (see sun.h). All angles in degrees unless a
// name ends in _r; times in Julian days (jd) or minutes after 0h UTC.
#include "rules/sun.h"

#include <cmath>

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double JD_UNIX_EPOCH = 2440587.5;  // 1970-01-01 0h UTC
constexpr double JD_J2000 = 2451545.0;
constexpr int EVENT_ITERATIONS = 3;  // each pass re-reads the sun at the event found

double rad(double d) { return d * PI / 180.0; }
double deg(double r) { return r * 180.0 / PI; }

struct sun_pos {
  double decl;    // declination
  double eqtime;  // equation of time, minutes
};

sun_pos sun_at(double jd) {
  double t = (jd - JD_J2000) / 36525.0;  // Julian centuries
  double l0 = fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
  double m = 357.52911 + t * (35999.05029 - 0.0001537 * t);
  double e = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
  double c = sin(rad(m)) * (1.914602 - t * (0.004817 + 0.000014 * t)) + sin(rad(2 * m)) * (0.019993 - 0.000101 * t) +
             sin(rad(3 * m)) * 0.000289;
  double omega = 125.04 - 1934.136 * t;
  double lambda = l0 + c - 0.00569 - 0.00478 * sin(rad(omega));
  double eps0 = 23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
  double eps = eps0 + 0.00256 * cos(rad(omega));
  sun_pos p;
  p.decl = deg(asin(sin(rad(eps)) * sin(rad(lambda))));
  double y = tan(rad(eps / 2));
  y *= y;
  double l0r = rad(l0), mr = rad(m);
  p.eqtime = 4 * deg(y * sin(2 * l0r) - 2 * e * sin(mr) + 4 * e * y * sin(mr) * cos(2 * l0r) -
                     0.5 * y * y * sin(4 * l0r) - 1.25 * e * e * sin(2 * mr));
  return p;
}

// cos of the hour angle at which the centre stands at SUN_HORIZON_DEG.
double cos_hour_angle(double lat, double decl) {
  return cos(rad(90.0 - SUN_HORIZON_DEG)) / (cos(rad(lat)) * cos(rad(decl))) - tan(rad(lat)) * tan(rad(decl));
}

time_t to_unix(double jd0, double minutes) { return (time_t)llround((jd0 - JD_UNIX_EPOCH) * 86400.0 + minutes * 60.0); }

// Minutes after jd0 of the rise (sign -1) or set (+1), refined from `guess`.
double event_minutes(double jd0, double lat, double lon, int sign, double guess) {
  double t = guess;
  for (int i = 0; i < EVENT_ITERATIONS; i++) {
    sun_pos p = sun_at(jd0 + t / 1440.0);
    double ch = cos_hour_angle(lat, p.decl);
    ch = ch > 1 ? 1 : ch < -1 ? -1 : ch;  // near a polar edge the event sits at noon or midnight
    double ha = deg(acos(ch));
    t = 720.0 - 4.0 * (lon - sign * ha) - p.eqtime;
  }
  return t;
}

}  // namespace

long sun_days_from_civil(int year, int month, int day) {
  long y = year - (month <= 2);
  long era = (y >= 0 ? y : y - 399) / 400;
  long yoe = y - era * 400;
  long doy = (153L * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

sun_day sun_times(int year, int month, int day, double lat, double lon) {
  double jd0 = (double)sun_days_from_civil(year, month, day) + JD_UNIX_EPOCH;
  double noon = 720.0 - 4.0 * lon;
  noon = 720.0 - 4.0 * lon - sun_at(jd0 + noon / 1440.0).eqtime;
  noon = 720.0 - 4.0 * lon - sun_at(jd0 + noon / 1440.0).eqtime;
  sun_day d{};
  d.noon = to_unix(jd0, noon);
  double ch = cos_hour_angle(lat, sun_at(jd0 + noon / 1440.0).decl);
  if (ch > 1 || ch < -1 || std::isnan(ch)) {
    // The sun stays on one side of the horizon all day; its noon elevation says which.
    d.kind = sun_elevation(d.noon, lat, lon) > SUN_HORIZON_DEG ? SUN_ALWAYS_UP : SUN_ALWAYS_DOWN;
    return d;
  }
  double half = 4.0 * deg(acos(ch));  // minutes from transit to either event
  d.kind = SUN_RISES;
  d.rise = to_unix(jd0, event_minutes(jd0, lat, lon, -1, noon - half));
  d.set = to_unix(jd0, event_minutes(jd0, lat, lon, +1, noon + half));
  return d;
}

double sun_elevation(time_t t, double lat, double lon) {
  double jd = (double)t / 86400.0 + JD_UNIX_EPOCH;
  sun_pos p = sun_at(jd);
  double minutes = fmod((double)t, 86400.0) / 60.0;
  if (minutes < 0) minutes += 1440.0;
  double solar = minutes + p.eqtime + 4.0 * lon;  // true solar time, minutes
  double ha = solar / 4.0 - 180.0;
  double cz = sin(rad(lat)) * sin(rad(p.decl)) + cos(rad(lat)) * cos(rad(p.decl)) * cos(rad(ha));
  cz = cz > 1 ? 1 : cz < -1 ? -1 : cz;
  return 90.0 - deg(acos(cz));
}

bool sun_up(time_t t, double lat, double lon) { return sun_elevation(t, lat, lon) > SUN_HORIZON_DEG; }

/* libgeopos: our stand-in for the maker's library of positions on the
 * Earth, with the calls the database library's expression language makes.
 *
 * The Earth is a sphere of radius GEOPOS_EARTH_RADIUS kilometres.
 * Angles passed to dist and latlon, and the angles they return, are in
 * radians; the region calls take degrees.
 *
 * Regions are a numbering of our own:
 * - a geographic region is a cell of 10 by 10 degrees: cells are counted
 *   from 1, west to east from longitude -180 and then band by band from
 *   latitude -90 northward, so that region 1 is the cell -90..-80 latitude,
 *   -180..-170 longitude and region 648 the cell 80..90, 170..180;
 * - a seismic region is a cell of 30 degrees of latitude by 60 degrees of
 *   longitude made of whole geographic regions, counted the same way from
 *   1 to 36.
 * A longitude is taken modulo 360 (180 is -180); a latitude of 90 falls
 * in the last band. A latitude outside -90..90 or a value that is not a
 * number has no region (number 0).
 *
 * Nothing here keeps state; every call may be made from any thread.
 */
#ifndef GEOPOS_H
#define GEOPOS_H

#ifdef __cplusplus
#define GEOPOS_BEGIN_DECLS extern "C" {
#define GEOPOS_END_DECLS }
#else
#define GEOPOS_BEGIN_DECLS
#define GEOPOS_END_DECLS
#endif

#define GEOPOS_API __attribute__((visibility("default")))

/* Radius of the sphere, kilometres. */
#define GEOPOS_EARTH_RADIUS 6371.0
/* Bytes of a caller's buffer for a region name (the NUL included). */
#define GEOPOS_NAME_SIZE 128
/* Number of geographic and of seismic regions. */
#define GEOPOS_NGREGIONS 648
#define GEOPOS_NSREGIONS 36

GEOPOS_BEGIN_DECLS

/* The great-circle distance *delta (0..pi) from the point (lat1, lon1) to
 * the point (lat2, lon2), and the azimuth *azimuth (0..2 pi, clockwise from
 * north) at the first point towards the second; 0 when they coincide. */
GEOPOS_API void dist(double lat1, double lon1, double lat2, double lon2, double *delta,
                     double *azimuth);

/* The point (*lat2, *lon2) reached from (lat1, lon1) by going the distance
 * delta along the great circle leaving at azimuth; the longitude lies in
 * -pi..pi. */
GEOPOS_API void latlon(double lat1, double lon1, double delta, double azimuth, double *lat2,
                       double *lon2);

/* The geographic region of a position in degrees, 1..GEOPOS_NGREGIONS, or
 * 0 when it has none. */
GEOPOS_API int grnumber(double lat, double lon);

/* Writes the name of geographic region grn into name (GEOPOS_NAME_SIZE
 * bytes), for example "N40-50 E010-020" (latitude band, then longitude
 * band). Returns 0, or -1 for a number that names no region (the name is
 * then "Unknown region <grn>"). */
GEOPOS_API int grname(int grn, char *name);

/* The seismic region that holds geographic region grn, or 0. */
GEOPOS_API int srnumber(int grn);

/* Writes the name of seismic region srn into name (GEOPOS_NAME_SIZE
 * bytes), for example "Northern mid-latitudes, 60E-120E"; 0, or -1 for a
 * number that names no region ("Unknown region <srn>"). */
GEOPOS_API int srname(int srn, char *name);

/* Degrees of arc on the sphere to kilometres along its surface, and back. */
GEOPOS_API double deg2km(double degrees);
GEOPOS_API double km2deg(double km);

GEOPOS_END_DECLS

#endif

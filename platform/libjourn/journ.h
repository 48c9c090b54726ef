/* libjourn: our stand-in for the maker's travel-time library, with the
 * calls the database library's expression language makes.
 *
 * The model is a sphere of radius JOURN_EARTH_RADIUS kilometres of
 * constant velocity: compressional waves (phases whose name begins with
 * "P" or "p") travel at JOURN_VP, shear waves ("S" or "s") at JOURN_VS
 * kilometres per second, along the straight ray from the source, at a
 * depth below the surface, to a receiver on the surface at a distance in
 * degrees of arc. A travel time is in seconds, a slowness (the change of
 * the travel time with distance) in seconds per degree.
 *
 * A phase of another name, a depth at or below the centre, or a value that
 * is not a number has no time: the result is -1.0.
 *
 * Nothing here keeps state; every call may be made from any thread.
 */
#ifndef JOURN_H
#define JOURN_H

#ifdef __cplusplus
#define JOURN_BEGIN_DECLS extern "C" {
#define JOURN_END_DECLS }
#else
#define JOURN_BEGIN_DECLS
#define JOURN_END_DECLS
#endif

#define JOURN_API __attribute__((visibility("default")))

#define JOURN_EARTH_RADIUS 6371.0
#define JOURN_VP 8.0
#define JOURN_VS 4.5

JOURN_BEGIN_DECLS

/* Travel time and slowness of the named phase. */
JOURN_API double phasetime(char *phase, double delta, double depth);
JOURN_API double phase_slowness(char *phase, double delta, double depth);

/* The same for the phases "P" and "S". */
JOURN_API double pphasetime(double delta, double depth);
JOURN_API double sphasetime(double delta, double depth);
JOURN_API double pphase_slowness(double delta, double depth);
JOURN_API double sphase_slowness(double delta, double depth);

JOURN_END_DECLS

#endif

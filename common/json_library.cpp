// Boost.JSON's implementation, compiled into velko rather than loaded from its shared library:
// velko starts faster with fewer libraries to bind, and the sim module takes it from the host.
#include <boost/json/src.hpp>

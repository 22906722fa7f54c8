/* libecdevice.so is made of the core archives; this unit only gives the module a
 * source of its own. The exported functions live in api/connection.cpp and
 * api/access.cpp. */

// Pause points: where a test holds one of the cache's races open.
//
// A race that only a lucky schedule shows is caught only by chance; a test
// program that exports kxenv_test_pause (extern "C", taking the point's
// name) is called at each point and may block there until the other side
// of the race has run. The library looks the function up once; without it
// (every program but the tests) a point costs one test of a null pointer, and
// the points sit only on the paths that read the store or serve the watcher,
// never on a cache hit. On Windows a point does nothing.
#pragma once

void PauseAt(const char* point);

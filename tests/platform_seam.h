// Force-included (-include) into the contract test's copy of
// platform/platform.cpp: every primitive that the portable routines call is
// renamed, declaration and calls alike, to the test's wrapper of the same
// signature (tests/platform_contract_test.cpp), which calls the real one and
// can fail a chosen call, or carry it out and then report failure. The
// product's code is compiled unchanged.
#pragma once

#define CHECK_DELETABLE TEST_CHECK_DELETABLE
#define COPY_DATA TEST_COPY_DATA
#define CREATE_NEW_FILE TEST_CREATE_NEW_FILE
#define DELETE_NOW TEST_DELETE_NOW
#define DELETE_TEMPORARY TEST_DELETE_TEMPORARY
#define FACTS_AT TEST_FACTS_AT
#define FACTS_OF TEST_FACTS_OF
#define FLUSH_FILE TEST_FLUSH_FILE
#define FLUSH_FOLDER_OF TEST_FLUSH_FOLDER_OF
#define LOOK_AT TEST_LOOK_AT
#define OPEN_FOR_READING TEST_OPEN_FOR_READING
#define PAUSE_MS TEST_PAUSE_MS
#define READ_SOME TEST_READ_SOME
#define RENAME TEST_RENAME
#define WRITE_ALL TEST_WRITE_ALL

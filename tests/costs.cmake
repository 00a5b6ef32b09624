# Read by ctest after the test binary's cases are listed (tests/CMakeLists.txt): the cases
# that take longest, in seconds as measured on a 2-core machine, so that a fresh build
# starts them first.
foreach(pair IN ITEMS "StressTest.EditsAndInputAtTopSpeedLoseNothing=30"
                      "PlaylistPlaySaves.EverySaveWritesTheEntryItsNamesGive=7"
                      "SessionStart.GoesOnWithoutASession=5"
                      "StressTest.UndoAndRedoWhileRecording=3"
                      "UndoBounds.KeepsAHundredLevels=3")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 cost)
  set_tests_properties(${name} PROPERTIES COST ${cost})
endforeach()

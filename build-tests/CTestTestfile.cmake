# CMake generated Testfile for 
# Source directory: /work/wt/lead
# Build directory: /work/wt/lead/build-tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/wt/lead/build-tests/lindorf_cpp_tests_4fba942f_include.cmake")

# Tests of the telephony card tools. They run the built programs; cardstat reaches its
# card driver through a stand-in library preloaded into it.
add_library(fake_card_driver SHARED support/fake_card_driver.cpp)
target_link_libraries(fake_card_driver PRIVATE ${CMAKE_DL_LIBS})

quelmo_test(tonemill_test tonemill_test.cpp tonemill_tables)
target_compile_definitions(tonemill_test PRIVATE TONEMILL_PROGRAM="$<TARGET_FILE:tonemill>")
add_dependencies(tonemill_test tonemill)

quelmo_test(cardstat_test cardstat_test.cpp ${CMAKE_DL_LIBS})
target_compile_definitions(cardstat_test PRIVATE CARDSTAT_PROGRAM="$<TARGET_FILE:cardstat>"
                                                 FAKE_CARD_DRIVER="$<TARGET_FILE:fake_card_driver>")
add_dependencies(cardstat_test cardstat fake_card_driver)

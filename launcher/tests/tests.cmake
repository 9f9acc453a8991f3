if(TARGET qel-usb-bridge)
  add_test(NAME launcher COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/launcher_test.sh
                                 ${CMAKE_CURRENT_BINARY_DIR}/qel-updater $<TARGET_FILE:qel-usb-bridge>)
endif()

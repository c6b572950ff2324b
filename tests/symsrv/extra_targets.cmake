#The symbol server 's tests drive it with the library' s own feed handler(CSymProxy)and
#client(CSymConnection), and count the allocations of its update path.
target_link_libraries(qrx_symsrv_tests PRIVATE qrx_proxy qrx_client)
    qrx_count_allocs(qrx_symsrv_tests)

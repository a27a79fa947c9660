// Under AddressSanitizer an allocation the allocator refuses ends the process
// by default. The tests of allocation failure need malloc to return NULL for
// a request of INT_MAX bytes, as a plain allocator under a limit does.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}
#endif

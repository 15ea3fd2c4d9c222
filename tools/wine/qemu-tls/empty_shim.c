/* 64-bit twin of the qemu TLS shim: Wine's 64-bit processes need no fix, but LD_PRELOAD names one
 * path for both word sizes ($LIB), so this stands in to keep the loader quiet. */
void suite_qemu_tls_shim_placeholder(void) {}

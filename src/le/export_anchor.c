/* The shared library's own translation unit: everything else arrives whole
   from le_static, and the version script keeps only le_* visible. */
int le_export_anchor_unused_(void);

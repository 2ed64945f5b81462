"""What is known of a source before any work: its streams, its shown size, its clock's
origin and its media's own length."""

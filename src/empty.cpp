// Placeholder translation unit for targets built from object libraries.

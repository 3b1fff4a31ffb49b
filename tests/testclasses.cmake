# class name, source file: one line per test class


<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
<context>
    <name>Application</name>
    <message>
        <source>No display available (%1): set DISPLAY to a display that answers to show the ZEL Client window.</source>
        <translation>No hay ninguna pantalla disponible (%1): defina DISPLAY con una pantalla que responda para mostrar la ventana de ZEL Client.</translation>
    </message>
    <message>
        <source>Try &apos;%1 --help&apos; for the options.</source>
        <translation>Pruebe «%1 --help» para ver las opciones.</translation>
    </message>
    <message>
        <source>warning: %1</source>
        <translation>aviso: %1</translation>
    </message>
</context>
<context>
    <name>CommandLineParser</name>
    <message>
        <source>Login username.</source>
        <translation>Nombre de usuario para iniciar sesión.</translation>
    </message>
    <message>
        <source>Login password. Other users of the machine can read a command line: prefer --password-stdin.</source>
        <translation>Contraseña para iniciar sesión. Otros usuarios del equipo pueden leer una línea de órdenes: es preferible --password-stdin.</translation>
    </message>
    <message>
        <source>Not supported: the client logs in with a user name and a password.</source>
        <translation>No admitido: el cliente inicia sesión con un nombre de usuario y una contraseña.</translation>
    </message>
    <message>
        <source>Server to connect to.</source>
        <translation>Servidor al que conectarse.</translation>
    </message>
    <message>
        <source>Port ZEL is running on (1 to 65535).</source>
        <translation>Puerto en el que se ejecuta ZEL (de 1 a 65535).</translation>
    </message>
    <message>
        <source>Open file in VM.</source>
        <translation>Abrir un archivo en la máquina virtual.</translation>
    </message>
    <message>
        <source>Enable or disable the use of SSL. Default True.</source>
        <translation>Activar o desactivar el uso de SSL. Por omisión, activado.</translation>
    </message>
    <message>
        <source>What to do in case of SSL errors. Valid values are: &apos;ask&apos;, &apos;continue&apos; and &apos;abort&apos;.</source>
        <translation>Qué hacer ante errores de SSL. Valores válidos: &apos;ask&apos;, &apos;continue&apos; y &apos;abort&apos;.</translation>
    </message>
    <message>
        <source>List VMs, and exit. Without a password given, the one remembered for this server and user is used.</source>
        <translation>Listar las máquinas virtuales y salir. Si no se indica una contraseña, se usa la recordada para este servidor y usuario.</translation>
    </message>
    <message>
        <source>List applications, and exit.</source>
        <translation>Listar las aplicaciones y salir.</translation>
    </message>
    <message>
        <source>Don&apos;t show the header for --list-vms and --list-apps.</source>
        <translation>No mostrar la cabecera de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Use JSON to dump the --list-vms and --list-apps data.</source>
        <translation>Usar JSON para mostrar los datos de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Type of connection to use: </source>
        <translation>Tipo de conexión que se usará: </translation>
    </message>
    <message>
        <source>Enable experimental features</source>
        <translation>Activar las funciones experimentales</translation>
    </message>
    <message>
        <source>Dialog - type</source>
        <translation>Diálogo: tipo</translation>
    </message>
    <message>
        <source>Dialog - caption</source>
        <translation>Diálogo: título</translation>
    </message>
    <message>
        <source>Dialog - window ID</source>
        <translation>Diálogo: identificador de ventana</translation>
    </message>
    <message>
        <source>Dialog - message</source>
        <translation>Diálogo: mensaje</translation>
    </message>
    <message>
        <source>Dialog - Proxy mode is used (ignored)</source>
        <translation>Diálogo: se usa el modo proxy (se ignora)</translation>
    </message>
    <message>
        <source>Dialog - nagent&apos;s PID</source>
        <translation>Diálogo: PID de nxagent</translation>
    </message>
    <message>
        <source>Dialog - X11 display</source>
        <translation>Diálogo: pantalla X11</translation>
    </message>
    <message>
        <source>Unknown value &apos;%1&apos; for --ssl-errors: use ask, continue or abort.
</source>
        <translation>Valor desconocido &apos;%1&apos; para --ssl-errors: use ask, continue o abort.
</translation>
    </message>
    <message>
        <source>Read the login password from the first line of standard input.</source>
        <translation>Leer la contraseña de la primera línea de la entrada estándar.</translation>
    </message>
    <message>
        <source>Write the log to standard error as well (also with ZEL_DEBUG=1); it always goes to client.log.</source>
        <translation>Escribir el registro también en la salida de error estándar (también con ZEL_DEBUG=1); siempre va a client.log.</translation>
    </message>
    <message>
        <source>--%1 is a switch: it takes no value but 1/0, yes/no or true/false, not &apos;%2&apos;.
</source>
        <translation>--%1 es un interruptor: no admite más valor que 1/0, yes/no o true/false, no «%2».
</translation>
    </message>
    <message>
        <source>--%1 needs a value, but the option --%2 follows it.
</source>
        <translation>--%1 necesita un valor, pero le sigue la opción --%2.
</translation>
    </message>
    <message>
        <source>Unexpected argument &apos;%1&apos;: every value follows the option it belongs to.
</source>
        <translation>Argumento inesperado «%1»: cada valor va detrás de la opción a la que pertenece.
</translation>
    </message>
    <message>
        <source>Give the password with --password or with --password-stdin, not with both.
</source>
        <translation>Indique la contraseña con --password o con --password-stdin, no con ambas.
</translation>
    </message>
    <message>
        <source>--token is not supported and is not sent: log in with --user and a password.</source>
        <translation>--token no se admite y no se envía: inicie sesión con --user y una contraseña.</translation>
    </message>
    <message>
        <source>--port must be a number from 1 to 65535, not &apos;%1&apos;.
</source>
        <translation>--port debe ser un número de 1 a 65535, no «%1».
</translation>
    </message>
    <message>
        <source>Unknown connection type &apos;%1&apos;: use %2.
</source>
        <translation>Tipo de conexión desconocido «%1»: use %2.
</translation>
    </message>
    <message>
        <source>Unknown dialog type &apos;%1&apos;.
</source>
        <translation>Tipo de diálogo desconocido «%1».
</translation>
    </message>
</context>
<context>
    <name>ConnectionStatistics</name>
    <message>
        <source>Bandwidth</source>
        <translation>Ancho de banda</translation>
    </message>
</context>
<context>
    <name>ConnectionStatisticsChart</name>
    <message>
        <source>Download</source>
        <translation>Descarga</translation>
    </message>
    <message>
        <source>Upload</source>
        <translation>Subida</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Hora</translation>
    </message>
    <message>
        <source>KiB/s</source>
        <translation>KiB/s</translation>
    </message>
    <message>
        <source>Bandwidth usage</source>
        <translation>Uso del ancho de banda</translation>
    </message>
</context>
<context>
    <name>ListDialog</name>
    <message>
        <source>Select your VM</source>
        <translation>Seleccione su máquina virtual</translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Nombre</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Conectar</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>State</source>
        <translation>Estado</translation>
    </message>
    <message>
        <source>Blocked</source>
        <translation>Bloqueada</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Sí</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Detenida</translation>
    </message>
    <message>
        <source>Starting</source>
        <translation>Arrancando</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>En marcha</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Desconocido</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>ZEL</source>
        <translation>ZEL</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Conectar</translation>
    </message>
    <message>
        <source>User name</source>
        <translation>Nombre de usuario</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Contraseña</translation>
    </message>
    <message>
        <source>Second factor</source>
        <translation>Segundo factor</translation>
    </message>
    <message>
        <source>Remember password</source>
        <translation>Recordar la contraseña</translation>
    </message>
    <message>
        <source>Restart session</source>
        <translation>Reiniciar la sesión</translation>
    </message>
    <message>
        <source>Cancel the connection attempt</source>
        <translation>Cancelar el intento de conexión</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Configuración</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>Opciones</translation>
    </message>
    <message>
        <source>Two factor authentication</source>
        <translation>Autenticación de dos factores</translation>
    </message>
    <message>
        <source>Enable audio</source>
        <translation>Activar el sonido</translation>
    </message>
    <message>
        <source>Enable microphone</source>
        <translation>Activar el micrófono</translation>
    </message>
    <message>
        <source>Enable printing</source>
        <translation>Activar la impresión</translation>
    </message>
    <message>
        <source>Full screen</source>
        <translation>Pantalla completa</translation>
    </message>
    <message>
        <source>Show bandwidth graph</source>
        <translation>Mostrar el gráfico de ancho de banda</translation>
    </message>
    <message>
        <source>Connectivity</source>
        <translation>Conectividad</translation>
    </message>
    <message>
        <source>Server</source>
        <translation>Servidor</translation>
    </message>
    <message>
        <source>Connection type</source>
        <translation>Tipo de conexión</translation>
    </message>
    <message>
        <source>Shared Folders</source>
        <translation>Carpetas compartidas</translation>
    </message>
    <message>
        <source>Enable shared folders</source>
        <translation>Activar las carpetas compartidas</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>Añadir</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Quitar</translation>
    </message>
    <message>
        <source>Environment Variables</source>
        <translation>Variables de entorno</translation>
    </message>
    <message>
        <source>USB</source>
        <translation>USB</translation>
    </message>
    <message>
        <source>Enable USB redirection</source>
        <translation>Activar la redirección USB</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Versión</translation>
    </message>
    <message>
        <source>Release: (running from source code)
Git commit: N/A
Build: N/A</source>
        <translation>Versión: (ejecutándose desde el código fuente)
Commit de Git: N/D
Compilación: N/D</translation>
    </message>
    <message>
        <source>Modem</source>
        <translation>Módem</translation>
    </message>
    <message>
        <source>ISDN</source>
        <translation>RDSI</translation>
    </message>
    <message>
        <source>ADSL</source>
        <translation>ADSL</translation>
    </message>
    <message>
        <source>WAN</source>
        <translation>WAN</translation>
    </message>
    <message>
        <source>LAN</source>
        <translation>LAN</translation>
    </message>
    <message>
        <source>Local</source>
        <translation>Local</translation>
    </message>
    <message>
        <source>Server is not set.
Please configure a server to connect to.</source>
        <translation>No se ha indicado el servidor.
Configure un servidor al que conectarse.</translation>
    </message>
    <message>
        <source>Starting the remote desktop...</source>
        <translation>Iniciando el escritorio remoto...</translation>
    </message>
    <message>
        <source>Connecting to %1...</source>
        <translation>Conectando con %1...</translation>
    </message>
    <message>
        <source>Fetching the list of virtual machines...</source>
        <translation>Obteniendo la lista de máquinas virtuales...</translation>
    </message>
    <message>
        <source>Waiting for the virtual machine to start...</source>
        <translation>Esperando a que arranque la máquina virtual...</translation>
    </message>
    <message>
        <source>Failed to connect to ZEL at %1:%2
%3</source>
        <translation>No se pudo conectar con ZEL en %1:%2
%3</translation>
    </message>
    <message>
        <source>Bug: no error</source>
        <translation>Fallo interno: sin error</translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation>Error de autenticación</translation>
    </message>
    <message>
        <source>Timeout</source>
        <translation>Tiempo de espera agotado</translation>
    </message>
    <message>
        <source>Error when starting the VM</source>
        <translation>Error al arrancar la máquina virtual</translation>
    </message>
    <message>
        <source>Protocol error</source>
        <translation>Error de protocolo</translation>
    </message>
    <message>
        <source>Server blocked</source>
        <translation>Servidor bloqueado</translation>
    </message>
    <message>
        <source>Server error</source>
        <translation>Error del servidor</translation>
    </message>
    <message>
        <source>X Server error</source>
        <translation>Error del servidor X</translation>
    </message>
    <message>
        <source>Backend error</source>
        <translation>Error del motor de conexión</translation>
    </message>
    <message>
        <source>Internal error</source>
        <translation>Error interno</translation>
    </message>
    <message>
        <source>Select a folder to share</source>
        <translation>Seleccione una carpeta para compartir</translation>
    </message>
    <message>
        <source>Running from source
</source>
        <translation>Ejecutándose desde el código fuente
</translation>
    </message>
    <message>
        <source>Copyright (C) Pelsor. All rights reserved.</source>
        <translation>Copyright (C) Pelsor. Todos los derechos reservados.</translation>
    </message>
    <message>
        <source>Wrong user name or password.</source>
        <translation>Nombre de usuario o contraseña incorrecta.</translation>
    </message>
    <message>
        <source>The port &quot;%1&quot; is not valid.
Give a number from 1 to 65535 after the server&apos;s name.</source>
        <translation>El puerto &quot;%1&quot; no es válido.
Indique un número del 1 al 65535 tras el nombre del servidor.</translation>
    </message>
    <message>
        <source>%1 - ZEL</source>
        <translation>%1 - ZEL</translation>
    </message>
    <message>
        <source>You have no virtual machines</source>
        <translation>No tiene máquinas virtuales</translation>
    </message>
    <message>
        <source>Connected</source>
        <translation>Conectado</translation>
    </message>
    <message>
        <source>ZEL: connected</source>
        <translation>ZEL: conectado</translation>
    </message>
    <message>
        <source>Show bandwidth</source>
        <translation>Mostrar ancho de banda</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Desconectar</translation>
    </message>
    <message>
        <source>Rescan</source>
        <translation>Volver a buscar</translation>
    </message>
    <message>
        <source>Not shared with the VM: %1</source>
        <translation>No compartido con la máquina virtual: %1</translation>
    </message>
    <message>
        <source>USB devices not shared with the VM: %1</source>
        <translation>Dispositivos USB no compartidos con la máquina virtual: %1</translation>
    </message>
    <message>
        <source>No sound: %1</source>
        <translation>Sin sonido: %1</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>The list of USB devices could not be read.</source>
        <translation>No se pudo leer la lista de dispositivos USB.</translation>
    </message>
    <message>
        <source>The desktop keyring did not answer (%1): remembered passwords are kept in the settings file.</source>
        <translation>El depósito de claves del escritorio no respondió (%1): las contraseñas recordadas se guardan en el archivo de configuración.</translation>
    </message>
</context>
<context>
    <name>NXDialog</name>
    <message>
        <source>Suspend</source>
        <translation>Suspender</translation>
    </message>
</context>
<context>
    <name>SSLErrorDialog</name>
    <message>
        <source>Problems</source>
        <translation>Problemas</translation>
    </message>
    <message>
        <source>Result of the certificate check</source>
        <translation>Resultado de la comprobación del certificado</translation>
    </message>
    <message>
        <source>Severity</source>
        <translation>Gravedad</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Recommendations</source>
        <translation>Recomendaciones</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Detalles</translation>
    </message>
    <message>
        <source>Accept &amp;temporarily</source>
        <translation>Aceptar &amp;temporalmente</translation>
    </message>
    <message>
        <source>Accept &amp;permanently</source>
        <translation>Aceptar &amp;permanentemente</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Connection</source>
        <translation>Conexión</translation>
    </message>
    <message>
        <source>Medium</source>
        <translation>Media</translation>
    </message>
    <message>
        <source>Certificate problem</source>
        <translation>Problema con el certificado</translation>
    </message>
    <message>
        <source>Untrusted server certificate</source>
        <translation>Certificado de servidor no fiable</translation>
    </message>
    <message>
        <source>Untrusted certificate of %1</source>
        <translation>Certificado no fiable de %1</translation>
    </message>
</context>
<context>
    <name>USBDeviceListModel</name>
    <message>
        <source>Manufacturer</source>
        <translation>Fabricante</translation>
    </message>
    <message>
        <source>Product</source>
        <translation>Producto</translation>
    </message>
    <message>
        <source>Serial</source>
        <translation>Número de serie</translation>
    </message>
</context>
<context>
    <name>UsbDeviceList</name>
    <message>
        <source>USB devices cannot be shared: the program &quot;%1&quot; is not installed.</source>
        <translation>No se pueden compartir dispositivos USB: el programa &quot;%1&quot; no está instalado.</translation>
    </message>
    <message>
        <source>USB devices cannot be shared: the kernel module usbip-host is not loaded. An administrator can load it with &quot;modprobe usbip-host&quot;.</source>
        <translation>No se pueden compartir dispositivos USB: el módulo del núcleo usbip-host no está cargado. Un administrador puede cargarlo con &quot;modprobe usbip-host&quot;.</translation>
    </message>
    <message>
        <source>USB devices cannot be shared: pkexec, which asks for the right to share them, is not installed (package pkexec).</source>
        <translation>No se pueden compartir dispositivos USB: pkexec, que pide el permiso para compartirlos, no está instalado (paquete pkexec).</translation>
    </message>
</context>
<context>
    <name>VMLister</name>
    <message>
        <source>Failed to connect to %1:%2: %3</source>
        <translation>No se pudo conectar con %1:%2: %3</translation>
    </message>
    <message>
        <source>connection failed</source>
        <translation>la conexión falló</translation>
    </message>
    <message>
        <source>The connection was closed before the VM list arrived.</source>
        <translation>La conexión se cerró antes de recibir la lista de máquinas virtuales.</translation>
    </message>
    <message>
        <source>No server given: use --host.</source>
        <translation>No se ha indicado ningún servidor: use --host.</translation>
    </message>
    <message>
        <source>The server&apos;s certificate was not accepted: %1</source>
        <translation>No se aceptó el certificado del servidor: %1</translation>
    </message>
    <message>
        <source>warning: the desktop keyring did not answer (%1).</source>
        <translation>aviso: el depósito de claves del escritorio no respondió (%1).</translation>
    </message>
    <message>
        <source>warning: no password remembered for %1 at %2; give one with --password-stdin.</source>
        <translation>aviso: no hay ninguna contraseña recordada para %1 en %2; indique una con --password-stdin.</translation>
    </message>
</context>
</TS>
